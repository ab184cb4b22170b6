// Port indices of the plug-in. The bundle's .ttl declares the same indices;
// a test reads the bundle through lilv and compares it with kPortInfo.
#pragma once

#include <cstdint>

enum PortIndex : std::uint32_t {
  kPortIn = 0,
  kPortOut = 1,
  kPortLevelDb = 2,
  kPortInvert = 3,
  kPortHumOn = 4,
  kPortPickupType = 5,
  kPortPickupAmount = 6,
  kPortPickupOn = 7,
  kPortBoostOn = 8,
  kPortBoostDb = 9,
  kPortLowpassAmount = 10,
  kPortHum50Hz = 11,
  kPortEnabled = 12,
  kPortCount = 13
};

struct PortInfo {
  const char* symbol;
  bool audio;     // audio port, else control
  bool output;    // output, else input
  bool optional;  // may stay unconnected
};

inline constexpr PortInfo kPortInfo[kPortCount] = {
    {"in", true, false, false},
    {"out", true, true, false},
    {"level_db", false, false, false},
    {"invert", false, false, false},
    {"hum_on", false, false, false},
    {"pickup_type", false, false, false},
    {"pickup_amount", false, false, false},
    {"pickup_on", false, false, false},
    {"boost_on", false, false, false},
    {"boost_db", false, false, false},
    {"lowpass_amount", false, false, true},
    {"hum_50hz", false, false, true},
    {"enabled", false, false, true},
};

#define CALVORINE_UTILITY_URI "https://calvorine.audio/calvorine-suite/utility"
