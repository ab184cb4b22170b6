// Forced into every source of the DSP library by the build: the filter
// sections never see the plug-in's host. Every LV2 header declares one of
// these names, so including one there fails to compile.
#pragma once
#pragma GCC poison LV2_Descriptor LV2_Handle LV2_Feature LV2UI_Descriptor
