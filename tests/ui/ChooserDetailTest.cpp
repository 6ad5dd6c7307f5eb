#include "UiTest.h"
