// Built into a sanitized launcher only. The launcher's end-to-end tests
// preload a window closer (LD_PRELOAD); the sanitizer runtime then does not
// come first in the initial library list, which it would otherwise refuse.
extern "C" const char* __asan_default_options() { return "verify_asan_link_order=0"; }
