#include "driver/uZVDriverLibrary.h"

namespace zv {

// Each provider module linked into the library registers its driver names here.
void RegisterProviderModules(kDriverRegistry& aRegistry) { (void)aRegistry; }

}  // namespace zv
