#pragma once
// Resource ids shared by the resource script and the code.
#define IDI_MORAVEL 1
#define IDI_IDLE 2
#define IDI_PENDING 3
