#include "ResourceWindow.h"
