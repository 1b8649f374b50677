#include "HostOperations.h"
