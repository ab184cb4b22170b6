// The plug-in's ports: the one table of what a host and a user see of each
// (index, symbol, name, range, default, unit, properties). The bundle's .ttl
// declares the same facts; a test reads the bundle through lilv and compares
// it with kPorts field by field. Everything else (the shell, the UI, the
// tools, the tests) takes the facts from here.
#pragma once

#include <cstdint>

#if defined(CALVORINE_DSP_LAYER)
#error "the DSP library must not depend on the plug-in's ports"
#endif

#define CALVORINE_UTILITY_URI "https://calvorine.audio/calvorine-suite/utility"

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
  kPortHumTrack = 13,
  kPortHumFreq = 14,
  kPortCount = 15
};

enum class PortKind : std::uint8_t {
  AudioIn,
  AudioOut,
  Control,  // a continuous control input
  Toggle,   // lv2:toggled, on above 0.5
  Choice,   // lv2:integer and lv2:enumeration, with labelled scale points
  Meter,    // a control output: the plug-in writes it, a host shows it
};

struct ScalePoint {
  float value;
  const char* label;
};

struct PortFacts {
  const char* symbol;
  const char* name;
  PortKind kind;
  float minimum;  // controls only
  float maximum;
  float deflt;
  const char* unit;  // "dB", "Hz", or nullptr when the port has no unit
  bool optional;     // lv2:connectionOptional: may stay unconnected
  const ScalePoint* points;
  std::uint32_t pointCount;

  bool audio() const { return kind == PortKind::AudioIn || kind == PortKind::AudioOut; }
  bool output() const { return kind == PortKind::AudioOut || kind == PortKind::Meter; }
};

// The voicing selector's labels. 3 and 4 play the same voicing.
inline constexpr ScalePoint kVoicingPoints[] = {
    {0.0f, "Presence, soft top"},
    {1.0f, "Thick mids, dark top"},
    {2.0f, "Hollow mids"},
    {3.0f, "Gentle upper-mid lift"},
    {4.0f, "Gentle upper-mid lift (same as 3)"},
};

inline constexpr PortFacts kPorts[kPortCount] = {
    {"in", "In", PortKind::AudioIn, 0, 0, 0, nullptr, false, nullptr, 0},
    {"out", "Out", PortKind::AudioOut, 0, 0, 0, nullptr, false, nullptr, 0},
    {"level_db", "Level", PortKind::Control, -40, 24, 0, "dB", false, nullptr, 0},
    {"invert", "Invert polarity", PortKind::Toggle, 0, 1, 0, nullptr, false, nullptr, 0},
    {"hum_on", "Hum filter", PortKind::Toggle, 0, 1, 0, nullptr, false, nullptr, 0},
    {"pickup_type", "Voicing", PortKind::Choice, 0, 4, 0, nullptr, false, kVoicingPoints, 5},
    {"pickup_amount", "Voicing amount", PortKind::Control, 0, 2, 1, nullptr, false, nullptr, 0},
    {"pickup_on", "Voicer", PortKind::Toggle, 0, 1, 0, nullptr, false, nullptr, 0},
    {"boost_on", "Boost", PortKind::Toggle, 0, 1, 0, nullptr, false, nullptr, 0},
    {"boost_db", "Boost amount", PortKind::Control, -24, 24, 6, "dB", false, nullptr, 0},
    {"lowpass_amount", "Low-pass blend", PortKind::Control, 0, 1, 0, nullptr, true, nullptr, 0},
    {"hum_50hz", "50 Hz mains", PortKind::Toggle, 0, 1, 0, nullptr, true, nullptr, 0},
    {"enabled", "Enabled", PortKind::Toggle, 0, 1, 1, nullptr, true, nullptr, 0},
    {"hum_track", "Hum tracking", PortKind::Toggle, 0, 1, 0, nullptr, true, nullptr, 0},
    {"hum_freq", "Mains frequency", PortKind::Meter, 0, 70, 0, "Hz", true, nullptr, 0},
};

static_assert(sizeof kVoicingPoints / sizeof kVoicingPoints[0] == 5, "one label per setting");

// The port with this symbol, or kPortCount when there is none.
inline std::uint32_t portBySymbol(const char* symbol) {
  for (std::uint32_t i = 0; i < kPortCount; ++i) {
    const char* a = kPorts[i].symbol;
    const char* b = symbol;
    while (*a != '\0' && *a == *b) {
      ++a;
      ++b;
    }
    if (*a == *b) {
      return i;
    }
  }
  return kPortCount;
}
