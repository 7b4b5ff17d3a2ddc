/* A library that refers to a function no loaded object defines: loading it must fail
   at once rather than at the first call. */

#ifdef _WIN32
#define ZV_EXPORT __declspec(dllexport)
#else
#define ZV_EXPORT __attribute__((visibility("default")))
#endif

extern int zv_test_nowhere(void);

ZV_EXPORT int zv_test_calls_nowhere(void) { return zv_test_nowhere(); }
