// Must not compile as part of the DSP library: it includes an LV2 header.
#include <lv2/core/lv2.h>
