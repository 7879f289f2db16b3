// AddressSanitizer's defaults for the test program: a malloc too large for
// it returns NULL, as the C library's does, rather than ending the program,
// so that the tests see okr report the failure (a 32-bit build asks for a
// region of 4 GiB less a byte and must get 0x4102). Unused without the
// sanitizer.
extern "C" const char* __asan_default_options() {
  return "allocator_may_return_null=1";
}
