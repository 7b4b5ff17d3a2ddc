/* A library with known exports for the tests of the DLL I/O handler. Plain C with no
   unique symbols, so that the loader really unloads it when it is released. */

#ifdef _WIN32
#define ZV_EXPORT __declspec(dllexport)
#else
#define ZV_EXPORT __attribute__((visibility("default")))
#endif

static int calls;

/* The sum of its arguments: shows that a looked-up address is the function. */
ZV_EXPORT int zv_test_add(int a, int b) { return a + b; }

/* How often it has been called since the library was loaded. */
ZV_EXPORT int zv_test_calls(void) { return ++calls; }
