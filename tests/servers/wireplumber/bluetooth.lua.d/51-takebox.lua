-- No Bluetooth devices on the test server.
bluez_monitor.enabled = false
