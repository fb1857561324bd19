#pragma once

// Shared by Ostrevane.rc and the code that loads the resources.
#define IDI_OSTREVANE 101
