void simdev_placeholder() {}
