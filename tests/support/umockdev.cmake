# Included by the <name>_test.cmake of every test that uses the fake USB devices (usb_fake.h):
# they need the umockdev preload library in the test process, and under ASan the preload sits
# in front of the sanitizer runtime, which must not object to that.
list(APPEND test_props
  ENVIRONMENT "LD_PRELOAD=libumockdev-preload.so.0"
  ENVIRONMENT_MODIFICATION "ASAN_OPTIONS=string_append::verify_asan_link_order=0")
