/* The codec library's out-of-line functions and tables, compiled with this project's flags
 * (position-independent, as the extension module needs); the header emits them here. */
#define MP_SOURCE 1
#include <msgpuck.h>
