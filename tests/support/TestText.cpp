#include "TestText.h"
