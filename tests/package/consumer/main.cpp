// Uses the installed companion library the way an application would: resolves the app group
// from the camera's Info.plist (libplist), then publishes one picture through the C interface
// into $XDG_RUNTIME_DIR/app-groups/<group>. Prints "app group <group>" and "published".
//   consumer INFO_PLIST
#include <kolv/companion.h>
#include <kolv_companion.h>

#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s INFO_PLIST\n", argv[0]);
    return 2;
  }
  if (!kolv::companion::isUsableInfoPlist(argv[1])) {
    std::fprintf(stderr, "%s is not a usable Info.plist\n", argv[1]);
    return 1;
  }
  const std::string group = kolv::companion::resolveAppGroupID(argv[1]);
  std::printf("app group %s\n", group.c_str());

  int status = KOLV_COMPANION_OK;
  kolv_companion* companion = kolv_companion_open(nullptr, argv[1], 64, 48, &status);
  if (companion == nullptr) {
    std::fprintf(stderr, "open: %s\n", kolv_companion_status_string(status));
    return 1;
  }
  const std::vector<unsigned char> picture(64 * 48 * 4, 0x80);
  status = kolv_companion_publish_bgra(companion, picture.data(), picture.size(), 64 * 4);
  const bool same_group = group == kolv_companion_app_group(companion);
  const bool stamped = kolv_companion_last_timestamp(companion) > 0;
  if (status != KOLV_COMPANION_OK) std::fprintf(stderr, "publish: %s\n", kolv_companion_last_error(companion));
  kolv_companion_close(companion);
  if (status != KOLV_COMPANION_OK || !same_group || !stamped) {
    std::fprintf(stderr, "publish failed (same group: %d, stamped: %d)\n", same_group, stamped);
    return 1;
  }
  std::printf("published\n");
  return 0;
}
