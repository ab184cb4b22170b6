// The factory presets' values as hosts read them from the built bundle
// (lilv, on LV2_PATH): the bundle's defaults, overwritten by each preset's.
#pragma once

#include <lilv/lilv.h>

#include <string>
#include <vector>

#include "ports.h"

struct Setting {
  std::string name;
  float values[kPortCount];
};

inline Setting defaultSetting(const std::string& name) {
  Setting s{name, {}};
  for (std::uint32_t p = 0; p < kPortCount; ++p) {
    s.values[p] = kPorts[p].deflt;
  }
  return s;
}

inline std::vector<Setting> factoryPresets() {
  std::vector<Setting> out;
  LilvWorld* world = lilv_world_new();
  lilv_world_load_all(world);
  auto uri = [&](const char* u) { return lilv_new_uri(world, u); };
  LilvNode* nodes[] = {uri(CALVORINE_UTILITY_URI), uri("http://lv2plug.in/ns/ext/presets#Preset"),
                       uri("http://lv2plug.in/ns/lv2core#port"),
                       uri("http://lv2plug.in/ns/lv2core#symbol"),
                       uri("http://lv2plug.in/ns/ext/presets#value")};
  const LilvPlugin* plugin = lilv_plugins_get_by_uri(lilv_world_get_all_plugins(world), nodes[0]);
  LilvNodes* presets = plugin ? lilv_plugin_get_related(plugin, nodes[1]) : nullptr;
  LILV_FOREACH(nodes, i, presets) {
    const LilvNode* preset = lilv_nodes_get(presets, i);
    lilv_world_load_resource(world, preset);
    Setting s = defaultSetting(lilv_node_as_uri(preset));
    LilvNodes* ports = lilv_world_find_nodes(world, preset, nodes[2], nullptr);
    LILV_FOREACH(nodes, j, ports) {
      LilvNode* sym = lilv_world_get(world, lilv_nodes_get(ports, j), nodes[3], nullptr);
      LilvNode* val = lilv_world_get(world, lilv_nodes_get(ports, j), nodes[4], nullptr);
      const std::uint32_t p = sym ? portBySymbol(lilv_node_as_string(sym)) : kPortCount;
      if (p < kPortCount && val != nullptr) {
        s.values[p] = lilv_node_as_float(val);
      }
      lilv_node_free(sym);
      lilv_node_free(val);
    }
    lilv_nodes_free(ports);
    out.push_back(s);
  }
  lilv_nodes_free(presets);
  for (LilvNode* n : nodes) {
    lilv_node_free(n);
  }
  lilv_world_free(world);
  return out;
}
