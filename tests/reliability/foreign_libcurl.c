/* A shared object that answers to the internet library's name (libcurl.so.4)
   and has none of its functions: what a foreign copy dropped where the
   dynamic loader looks first amounts to. */
int foreign_libcurl_marker(void) { return 4; }
