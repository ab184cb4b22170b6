// The bundle as an LV2 host reads it: lilv loads every bundle on LV2_PATH,
// finds the plug-in by URI and sees exactly the module's table of port facts
// (kPorts): index, symbol, name, direction, type, range, default, unit,
// properties and labels. lilv also instantiates it, and the result must match
// a direct dlopen.
#include <gtest/gtest.h>
#include <lilv/lilv.h>
#include <lv2/core/lv2.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "plugin_loader.h"
#include "ports.h"

namespace {

#define LV2_CORE "http://lv2plug.in/ns/lv2core#"
#define LV2_UNITS "http://lv2plug.in/ns/extensions/units#"
#define DOAP "http://usefulinc.com/ns/doap#"

struct NodeFree {
  void operator()(LilvNode* n) const { lilv_node_free(n); }
};
struct NodesFree {
  void operator()(LilvNodes* n) const { lilv_nodes_free(n); }
};
using Node = std::unique_ptr<LilvNode, NodeFree>;
using Nodes = std::unique_ptr<LilvNodes, NodesFree>;

bool isNumber(const Node& n) {
  return n != nullptr && (lilv_node_is_float(n.get()) || lilv_node_is_int(n.get()));
}

std::string realPath(const std::string& path) {
  char* r = realpath(path.c_str(), nullptr);
  std::string s = r != nullptr ? r : "";
  std::free(r);
  return s;
}

std::string filePath(const LilvNode* uri) {
  char* p = lilv_file_uri_parse(lilv_node_as_uri(uri), nullptr);
  std::string s = p != nullptr ? p : "";
  lilv_free(p);
  return s;
}

class BundleTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    world_ = lilv_world_new();
    lilv_world_load_all(world_);
  }
  static void TearDownTestSuite() {
    lilv_world_free(world_);
    world_ = nullptr;
  }

  void SetUp() override {
    ASSERT_NE(std::getenv("LV2_PATH"), nullptr) << "run through ctest: it sets LV2_PATH";
    const Node uri = uriNode(CALVORINE_UTILITY_URI);
    plugin_ = lilv_plugins_get_by_uri(lilv_world_get_all_plugins(world_), uri.get());
    ASSERT_NE(plugin_, nullptr) << CALVORINE_UTILITY_URI
                                << " not found on LV2_PATH=" << std::getenv("LV2_PATH");
  }

  static Node uriNode(const char* uri) { return Node(lilv_new_uri(world_, uri)); }

  bool portHas(const LilvPort* port, const char* property) const {
    return lilv_port_has_property(plugin_, port, uriNode(property).get());
  }
  bool portIs(const LilvPort* port, const char* cls) const {
    return lilv_port_is_a(plugin_, port, uriNode(cls).get());
  }

  static LilvWorld* world_;
  const LilvPlugin* plugin_ = nullptr;
};

LilvWorld* BundleTest::world_ = nullptr;

// The bundle's ports and the module's table agree one for one.
TEST_F(BundleTest, PortsMatchTheModulesTable) {
  ASSERT_EQ(lilv_plugin_get_num_ports(plugin_), static_cast<std::uint32_t>(kPortCount));
  const Node unitPred = uriNode(LV2_UNITS "unit");
  const Node db = uriNode(LV2_UNITS "db");
  const Node hz = uriNode(LV2_UNITS "hz");
  for (std::uint32_t i = 0; i < kPortCount; ++i) {
    const PortFacts& want = kPorts[i];
    SCOPED_TRACE(std::string("port ") + std::to_string(i) + " " + want.symbol);
    const LilvPort* port = lilv_plugin_get_port_by_index(plugin_, i);
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(lilv_port_get_index(plugin_, port), i);
    EXPECT_STREQ(lilv_node_as_string(lilv_port_get_symbol(plugin_, port)), want.symbol);
    const Node name(lilv_port_get_name(plugin_, port));
    ASSERT_NE(name, nullptr);
    EXPECT_STREQ(lilv_node_as_string(name.get()), want.name);
    EXPECT_EQ(portIs(port, LV2_CORE "AudioPort"), want.audio());
    EXPECT_EQ(portIs(port, LV2_CORE "ControlPort"), !want.audio());
    EXPECT_EQ(portIs(port, LV2_CORE "OutputPort"), want.output());
    EXPECT_EQ(portIs(port, LV2_CORE "InputPort"), !want.output());
    EXPECT_EQ(portHas(port, LV2_CORE "connectionOptional"), want.optional);
    EXPECT_EQ(portHas(port, LV2_CORE "toggled"), want.kind == PortKind::Toggle);
    EXPECT_EQ(portHas(port, LV2_CORE "integer"), want.kind == PortKind::Choice);
    EXPECT_EQ(portHas(port, LV2_CORE "enumeration"), want.kind == PortKind::Choice);

    LilvNode* def = nullptr;
    LilvNode* min = nullptr;
    LilvNode* max = nullptr;
    lilv_port_get_range(plugin_, port, &def, &min, &max);
    const Node d(def);
    const Node lo(min);
    const Node hi(max);
    if (want.audio()) {
      EXPECT_EQ(d, nullptr);
      EXPECT_EQ(lo, nullptr);
      EXPECT_EQ(hi, nullptr);
    } else {
      // Numeric literals, not strings: a quoted "1" is no default to a host.
      ASSERT_TRUE(isNumber(d));
      ASSERT_TRUE(isNumber(lo));
      ASSERT_TRUE(isNumber(hi));
      EXPECT_EQ(lilv_node_as_float(lo.get()), want.minimum);
      EXPECT_EQ(lilv_node_as_float(hi.get()), want.maximum);
      EXPECT_EQ(lilv_node_as_float(d.get()), want.deflt);
    }

    // The units the table knows: the decibel and the hertz.
    const Nodes units(lilv_port_get_value(plugin_, port, unitPred.get()));
    const std::size_t unitCount = units == nullptr ? 0 : lilv_nodes_size(units.get());
    EXPECT_EQ(unitCount, want.unit != nullptr ? 1u : 0u);
    if (want.unit != nullptr) {
      const bool isDb = std::string(want.unit) == "dB";
      EXPECT_TRUE(isDb || std::string(want.unit) == "Hz") << want.unit;
      EXPECT_TRUE(lilv_nodes_contains(units.get(), isDb ? db.get() : hz.get()));
    }

    LilvScalePoints* points = lilv_port_get_scale_points(plugin_, port);
    const std::size_t pointCount = points == nullptr ? 0 : lilv_scale_points_size(points);
    EXPECT_EQ(pointCount, want.pointCount);
    std::set<std::pair<float, std::string>> got;
    std::set<std::pair<float, std::string>> expected;
    if (points != nullptr) {
      LILV_FOREACH(scale_points, it, points) {
        const LilvScalePoint* sp = lilv_scale_points_get(points, it);
        const LilvNode* label = lilv_scale_point_get_label(sp);
        ASSERT_NE(label, nullptr);
        got.insert(
            {lilv_node_as_float(lilv_scale_point_get_value(sp)), lilv_node_as_string(label)});
      }
    }
    for (std::uint32_t j = 0; j < want.pointCount; ++j) {
      expected.insert({want.points[j].value, want.points[j].label});
    }
    EXPECT_EQ(got, expected);
    lilv_scale_points_free(points);
  }

  // The host's bypass drives `enabled`.
  const Node inputPort = uriNode(LV2_CORE "InputPort");
  const Node enabled = uriNode(LV2_CORE "enabled");
  const LilvPort* bypass =
      lilv_plugin_get_port_by_designation(plugin_, inputPort.get(), enabled.get());
  ASSERT_NE(bypass, nullptr);
  EXPECT_EQ(lilv_port_get_index(plugin_, bypass), static_cast<std::uint32_t>(kPortEnabled));
}

// Class, features, binary and project data that hosts and plug-in lists show.
TEST_F(BundleTest, PluginDescriptionAndBinary) {
  EXPECT_STREQ(lilv_node_as_uri(lilv_plugin_class_get_uri(lilv_plugin_get_class(plugin_))),
               LV2_CORE "EQPlugin");

  const Nodes required(lilv_plugin_get_required_features(plugin_));
  EXPECT_TRUE(required == nullptr || lilv_nodes_size(required.get()) == 0);
  const Nodes optional(lilv_plugin_get_optional_features(plugin_));
  ASSERT_NE(optional, nullptr);
  EXPECT_TRUE(lilv_nodes_contains(optional.get(), uriNode(LV2_CORE "hardRTCapable").get()));

  const std::string library = filePath(lilv_plugin_get_library_uri(plugin_));
  EXPECT_EQ(library.substr(library.rfind('/') + 1), "calvorine_utility.so");
  // The bundle found is the one this build made, not an installed copy.
  EXPECT_EQ(realPath(library), realPath(CALVORINE_PLUGIN_PATH));
  EXPECT_EQ(realPath(filePath(lilv_plugin_get_bundle_uri(plugin_))),
            realPath(CALVORINE_BUNDLE_DIR));

  const Node name(lilv_plugin_get_name(plugin_));
  ASSERT_NE(name, nullptr);
  EXPECT_GT(std::strlen(lilv_node_as_string(name.get())), 0u);
  for (const char* pred : {DOAP "license", LV2_CORE "minorVersion", LV2_CORE "microVersion"}) {
    const Nodes values(lilv_plugin_get_value(plugin_, uriNode(pred).get()));
    EXPECT_TRUE(values != nullptr && lilv_nodes_size(values.get()) == 1) << pred;
  }
  const Node author(lilv_plugin_get_author_name(plugin_));
  EXPECT_NE(author, nullptr);
}

// lilv instantiates the module from the bundle; with the bundle's defaults it
// passes audio through unchanged, and with every stage on (controls set by
// symbol, as hosts do) it gives what the module gives when loaded directly.
TEST_F(BundleTest, LilvInstantiatesAndRuns) {
  const double rate = 48000.0;
  LilvInstance* lv = lilv_plugin_instantiate(plugin_, rate, nullptr);
  ASSERT_NE(lv, nullptr);
  std::vector<float> controls(kPortCount, 0.0f);
  for (std::uint32_t i = 2; i < kPortCount; ++i) {
    LilvNode* def = nullptr;
    lilv_port_get_range(plugin_, lilv_plugin_get_port_by_index(plugin_, i), &def, nullptr, nullptr);
    controls[i] = lilv_node_as_float(def);
    lilv_node_free(def);
    lilv_instance_connect_port(lv, i, &controls[i]);
  }
  std::vector<float> in(1024);
  for (std::size_t i = 0; i < in.size(); ++i) {
    in[i] = static_cast<float>((i * 7919u) % 2001u) / 1000.0f - 1.0f;
  }
  std::vector<float> out(in.size(), 0.0f);
  lilv_instance_connect_port(lv, kPortIn, in.data());
  lilv_instance_connect_port(lv, kPortOut, out.data());
  lilv_instance_activate(lv);
  lilv_instance_run(lv, 512);
  EXPECT_EQ(std::memcmp(out.data(), in.data(), 512 * sizeof(float)), 0);

  const std::pair<const char*, float> settings[] = {
      {"level_db", -3.0f},      {"invert", 1.0f},    {"hum_on", 1.0f},   {"pickup_type", 2.0f},
      {"pickup_amount", 0.7f},  {"pickup_on", 1.0f}, {"boost_on", 1.0f}, {"boost_db", 9.0f},
      {"lowpass_amount", 0.3f}, {"hum_50hz", 1.0f}};
  PluginModule module;
  ASSERT_TRUE(module.loaded());
  PluginInstance direct(module, rate);
  for (const auto& [symbol, value] : settings) {
    const Node sym(lilv_new_string(world_, symbol));
    const LilvPort* port = lilv_plugin_get_port_by_symbol(plugin_, sym.get());
    ASSERT_NE(port, nullptr) << symbol;
    const std::uint32_t index = lilv_port_get_index(plugin_, port);
    controls[index] = value;
    direct.control(static_cast<PortIndex>(index)) = value;
  }
  // Both start from the same 512 samples of pass-through (no filter ran).
  const std::vector<float> rest(in.begin() + 512, in.end());
  std::vector<float> directOut = direct.process(rest, 512);
  lilv_instance_connect_port(lv, kPortIn, in.data() + 512);
  lilv_instance_connect_port(lv, kPortOut, out.data() + 512);
  lilv_instance_run(lv, 512);
  EXPECT_EQ(std::memcmp(out.data() + 512, directOut.data(), 512 * sizeof(float)), 0);
  EXPECT_NE(std::memcmp(out.data() + 512, rest.data(), 512 * sizeof(float)), 0);
  lilv_instance_deactivate(lv);
  lilv_instance_free(lv);
}

}  // namespace
