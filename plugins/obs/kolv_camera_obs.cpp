// The OBS Studio module: an output that publishes OBS's video to Kolv Camera. Where OBS has no
// virtual camera of its own (its v4l2loopback output is registered only when that kernel
// module is available), the output takes OBS's "virtualcam_output" id, so that "Start Virtual
// Camera" and --startvirtualcam drive Kolv Camera; otherwise it is an output of its own,
// started and stopped from the Tools menu.
// Thread: the module functions and the Tools menu run on OBS's UI thread; the output's
// callbacks as camera_output.h says.
#include <obs-frontend-api.h>
#include <obs-module.h>

#include <filesystem>
#include <string>
#include <string_view>

#include "camera_output.h"

OBS_DECLARE_MODULE()
OBS_MODULE_USE_DEFAULT_LOCALE("kolv-camera-obs", "en-US")

namespace {

// The output the Tools menu starts and stops, when OBS's own button drives another one.
obs_output_t* menuOutput = nullptr;

bool outputTypeRegistered(std::string_view id) {
  const char* type = nullptr;
  for (size_t i = 0; obs_enum_output_types(i, &type); ++i) {
    if (type != nullptr && id == type) return true;
  }
  return false;
}

void releaseMenuOutput() {
  if (menuOutput == nullptr) return;
  if (obs_output_active(menuOutput)) obs_output_stop(menuOutput);
  obs_output_release(menuOutput);
  menuOutput = nullptr;
}

void toggleMenuOutput(void*) {
  if (menuOutput == nullptr) {
    menuOutput = obs_output_create(kolv::obs::kOwnOutputID, "Kolv Camera", nullptr, nullptr);
    if (menuOutput == nullptr) return;
  }
  if (obs_output_active(menuOutput)) {
    obs_output_stop(menuOutput);
    return;
  }
  if (!obs_output_start(menuOutput)) {
    const char* error = obs_output_get_last_error(menuOutput);
    blog(LOG_ERROR, "[kolv-camera] cannot start: %s", error != nullptr ? error : "OBS gave no reason");
  }
}

void onFrontendEvent(enum obs_frontend_event event, void*) {
  if (event == OBS_FRONTEND_EVENT_EXIT) releaseMenuOutput();
}

}  // namespace

MODULE_EXPORT const char* obs_module_description(void) {
  return "Publishes OBS's program output to Kolv Camera, the PipeWire virtual camera";
}

bool obs_module_load(void) { return true; }

// After every module's obs_module_load, so that OBS's own virtual camera, when there is one,
// is registered by now; before OBS's window reads "vcamEnabled" to add its button.
void obs_module_post_load(void) {
  kolv::obs::CameraOutputOptions options;
  const std::filesystem::path infoPlist = KOLV_OBS_INFO_PLIST;
  std::error_code ignored;
  if (std::filesystem::exists(infoPlist, ignored)) options.infoPlist = infoPlist;

  if (!outputTypeRegistered(kolv::obs::kVirtualCamOutputID)) {
    kolv::obs::registerCameraOutput(kolv::obs::kVirtualCamOutputID, options);
    obs_data_t* settings = obs_data_create();
    obs_data_set_bool(settings, "vcamEnabled", true);
    obs_apply_private_data(settings);
    obs_data_release(settings);
    blog(LOG_INFO, "[kolv-camera] \"Start Virtual Camera\" publishes to Kolv Camera");
    return;
  }
  kolv::obs::registerCameraOutput(kolv::obs::kOwnOutputID, options);
  obs_frontend_add_tools_menu_item(obs_module_text("KolvCamera.ToolsMenu"), toggleMenuOutput, nullptr);
  obs_frontend_add_event_callback(onFrontendEvent, nullptr);
  blog(LOG_INFO, "[kolv-camera] OBS has a virtual camera of its own; Tools > %s publishes to Kolv Camera",
       obs_module_text("KolvCamera.ToolsMenu"));
}

void obs_module_unload(void) { releaseMenuOutput(); }
