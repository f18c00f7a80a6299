# The Python module `kolv` (python/kolv, pure Python over libkolv_companion.so.0 with ctypes):
# installed as the component `python`, into the folder Debian's python3 searches under the prefix.
set(KOLV_PYTHON_INSTALL_DIR lib/python3/dist-packages CACHE STRING
    "Where the Python module kolv goes, under the prefix (Debian's python3 reads /usr/lib/python3/dist-packages)")
install(DIRECTORY python/kolv DESTINATION ${KOLV_PYTHON_INSTALL_DIR} COMPONENT python
        FILES_MATCHING PATTERN "*.py" PATTERN __pycache__ EXCLUDE)
# Its Debian package, when the packages are made one per component.
set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-kolv)
set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "python3, python3-numpy")
set(CPACK_COMPONENT_PYTHON_DESCRIPTION "Python module kolv: publish numpy pictures to Kolv Camera")
