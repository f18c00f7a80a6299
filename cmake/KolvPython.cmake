# The Python module `kolv` (python/kolv, pure Python over libkolv_companion.so.0 with ctypes):
# installed as the component `python`, into the folder Debian's python3 searches under the prefix.
set(KOLV_PYTHON_INSTALL_DIR lib/python3/dist-packages CACHE STRING
    "Where the Python module kolv goes, under the prefix (Debian's python3 reads /usr/lib/python3/dist-packages)")
install(DIRECTORY python/kolv DESTINATION ${KOLV_PYTHON_INSTALL_DIR} COMPONENT python
        FILES_MATCHING PATTERN "*.py" PATTERN __pycache__ EXCLUDE)
# Its Debian package, python3-kolv: cmake/KolvPackage.cmake.
