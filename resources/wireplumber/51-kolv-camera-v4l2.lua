-- Kolv Camera: one camera, never two.
-- kolv-camera publishes "Kolv Camera" on PipeWire itself and also writes it into a v4l2loopback
-- device labelled "Kolv Camera" for V4L2 applications. WirePlumber would make that device a
-- second PipeWire camera ("Kolv Camera (V4L2)"), listed twice by portal applications: this
-- rule keeps WirePlumber away from the device, so PipeWire lists only the camera's own node.
-- (WirePlumber 0.4; installed in share/wireplumber/main.lua.d, read after 50-v4l2-config.lua.)
table.insert(v4l2_monitor.rules, {
  matches = {
    {
      { "device.name", "matches", "v4l2_device.*" },
      { "device.product.name", "equals", "Kolv Camera" },
    },
  },
  apply_properties = {
    ["device.disabled"] = true,
  },
})
table.insert(v4l2_monitor.rules, {
  matches = {
    {
      { "node.name", "matches", "v4l2_input.*" },
      { "node.description", "matches", "Kolv Camera*" },
    },
  },
  apply_properties = {
    ["node.disabled"] = true,
  },
})
