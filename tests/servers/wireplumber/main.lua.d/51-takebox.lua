-- The test server has only the nodes of pipewire.conf: no sound card, camera or
-- video device of the machine is opened.
alsa_monitor.enabled = false
v4l2_monitor.enabled = false
libcamera_monitor.enabled = false
