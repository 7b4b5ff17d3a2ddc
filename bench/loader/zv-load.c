/* A host's start-up in a fresh process: loads the libraries named on the command line,
   in order, with every reference resolved, as a host loads the driver. With "--call"
   first, the last one is the driver: its VERSION export is called once, so that work
   the driver leaves to its first call is counted too. Exit code 0 when all went well. */

#include <dlfcn.h>
#include <stdio.h>
#include <string.h>

#include "ZVPA_LORVANI_10.h"

typedef int (*Command)(BSTR, BSTR*, BSTR*);
typedef BSTR (*Alloc)(const OLECHAR*);
typedef void (*Free)(BSTR);

int main(int argc, char** argv) {
  int first = 1;
  const int call = argc > 1 && strcmp(argv[1], "--call") == 0;
  if (call) first = 2;
  void* last = NULL;
  for (int i = first; i < argc; ++i) {
    last = dlopen(argv[i], RTLD_NOW | RTLD_LOCAL);
    if (last == NULL) {
      fprintf(stderr, "%s\n", dlerror());
      return 1;
    }
  }
  if (call) {
    if (last == NULL) return 1;
    Command version = (Command)dlsym(last, "VERSION");
    Alloc alloc = (Alloc)dlsym(last, "SysAllocString");
    Free release = (Free)dlsym(last, "SysFreeString");
    if (version == NULL || alloc == NULL || release == NULL) return 1;
    BSTR request = alloc(u"ZVPA_LORVANI_10");
    BSTR response = NULL, error = NULL;
    const int result = version(request, &response, &error);
    release(response);
    release(error);
    release(request);
    if (result != 0) return 1;
  }
  return 0;
}
