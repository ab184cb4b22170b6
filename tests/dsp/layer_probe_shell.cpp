// Must not compile as part of the DSP library: it includes the shell's record.
#include "../../src/utility_plugin.h"
