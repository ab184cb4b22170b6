// libFuzzer target: the input bytes are a script of host actions against one
// instance, played through the LV2 descriptor.
//
// Script: one byte picks the sample rate (below 0xf0: from a table of real
// and odd rates; otherwise the next eight bytes are the rate's bits). Then
// actions until the bytes run out, each an opcode byte and its operands:
//   set a control to any bit pattern, or to a value from a list of edge
//   cases; connect or disconnect an optional port; run a block of any size
//   (0 included), in place or not, with audio from the bytes (any bit
//   pattern), noise, noise with one edge-case sample, or a constant; run a
//   burst of clean blocks; put every control back into its declared range.
//
// Checks, besides what AddressSanitizer and UndefinedBehaviorSanitizer see
// (every port is its own exact-size heap allocation, so a stray access is an
// out-of-bounds report):
//  - an invalid rate (not a positive finite double, or a float copy that is
//    not one) gives no instance, a valid one gives an instance;
//  - run never writes to `in` (out of place) nor to any control input port,
//    and what it reports on its control output is a finite number in range;
//  - a clean block (finite audio of sane size, every connected control
//    within the range the bundle declares) gives finite output, whatever
//    non-finite audio or control values came before;
//  - absurd but finite values (audio beyond 1e6, a voicing amount or boost
//    far outside any useful range) may leave finite filter state beyond the
//    float range, whose output overflows until it decays. Once such a value
//    has been seen the check above is off for that instance.
//  - after any finite control value outside the declared ranges, however
//    absurd (a design that would not be finite is never applied), and after
//    absurd audio: at the end, every stage is run in range on clean noise
//    and the output must turn finite, and stay so, within the time the
//    slowest section of those in-range designs takes to bring state as
//    large as a double holds back into range. (Near Nyquist the cookbook bandwidth shrinks,
//    so at rates just above twice a design frequency that is minutes; the
//    check is skipped where it would take more than a few million samples.)
#include <lv2/core/lv2.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <memory>

#include "chain_rig.h"
#include "fuzz_bytes.h"
#include "ports.h"
#include "test_support.h"

extern "C" const LV2_Descriptor* lv2_descriptor(std::uint32_t index);

namespace {

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "fuzz_host: %s\n", what);
  std::abort();
}

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kFltMax = std::numeric_limits<float>::max();
constexpr float kDenorm = std::numeric_limits<float>::denorm_min();

const double kRates[] = {44100.0, 48000.0, 8000.0,   11025.0,  16000.0,  22050.0, 32000.0,
                         88200.0, 96000.0, 176400.0, 192000.0, 384000.0, 6000.0,  600.0,
                         400.0,   100.0,   1.0,      8001.0,   9601.0,   14001.0};

const float kEdge[] = {
    kNaN,     -kNaN,  kInf,  -kInf, kFltMax,        -kFltMax,      1e30f,    -1e30f, kDenorm,
    -kDenorm, 1e-40f, 0.0f,  -0.0f, 0.5f,           0.500001f,     0.49999f, 1.0f,   -1.0f,
    2.0f,     3.0f,   4.0f,  4.5f,  2.5f,           -0.7f,         -2.0f,    24.0f,  -24.0f,
    -40.0f,   6.0f,   12.0f, 1e10f, -2147483648.0f, 2147483648.0f, 1e6f,     100.0f};
constexpr std::uint32_t kEdgeCount = sizeof kEdge / sizeof kEdge[0];

// Beyond these, finite values can build filter state that no longer fits a
// float (see the header comment). The level, the switches, the selector and
// the clamped low-pass amount hold no state of their own.
constexpr float kSaneAudio = 1e6f;
bool absurdControl(std::uint32_t port, float v) {
  if (!std::isfinite(v)) {
    return false;
  }
  if (port == kPortPickupAmount) {
    return v < -4.0f || v > 6.0f;
  }
  if (port == kPortBoostDb) {
    return v < -48.0f || v > 48.0f;
  }
  return false;
}

class Session {
 public:
  Session(const LV2_Descriptor* d, LV2_Handle h, double rate) : d_(d), h_(h), rate_(rate) {
    for (std::uint32_t p = 2; p < kPortCount; ++p) {
      controls_[p].reset(new float[1]);
      controls_[p][0] = kPorts[p].deflt;
      connected_[p] = true;
      d_->connect_port(h_, p, controls_[p].get());
    }
  }
  ~Session() { d_->cleanup(h_); }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  void set(std::uint32_t port, float v) {
    controls_[port][0] = v;
    if (connected_[port]) {
      note(port, v);
    }
  }

  void connectOptional(std::uint32_t port, bool on) {
    connected_[port] = on;
    d_->connect_port(h_, port, on ? controls_[port].get() : nullptr);
    if (on) {
      note(port, controls_[port][0]);
    }
  }

  // What a control value reaching the plug-in calls for in the checks.
  void note(std::uint32_t port, float v) {
    absurdSeen_ = absurdSeen_ || absurdControl(port, v);
    outOfRangeSeen_ = outOfRangeSeen_ ||
                      (std::isfinite(v) && (v < kPorts[port].minimum || v > kPorts[port].maximum));
  }

  void allInRange(Bytes& b) {
    for (std::uint32_t p = 2; p < kPortCount; ++p) {
      const PortFacts& f = kPorts[p];
      if (f.output()) {
        continue;
      }
      set(p, f.minimum + (f.maximum - f.minimum) * static_cast<float>(b.u8()) / 255.0f);
    }
  }

  // Runs one block of n samples taken from `audio` and checks the contract.
  void run(const float* audio, std::uint32_t n, bool inPlace) {
    std::unique_ptr<float[]> in(new float[n]);
    std::unique_ptr<float[]> out(new float[n]);
    std::memcpy(in.get(), audio, n * sizeof(float));
    bool finiteAudio = true;
    for (std::uint32_t i = 0; i < n; ++i) {
      if (!std::isfinite(audio[i])) {
        finiteAudio = false;
      } else if (std::fabs(audio[i]) > kSaneAudio) {
        finiteAudio = false;
        absurdSeen_ = true;
      }
    }
    bool controlsInRange = true;
    float before[kPortCount] = {};
    for (std::uint32_t p = 2; p < kPortCount; ++p) {
      const float v = controls_[p][0];
      before[p] = v;
      if (connected_[p] && !kPorts[p].output() &&
          !(v >= kPorts[p].minimum && v <= kPorts[p].maximum)) {
        controlsInRange = false;
      }
    }
    float* inPtr = in.get();
    if (inPlace) {
      std::memcpy(out.get(), audio, n * sizeof(float));
      inPtr = out.get();
    }
    d_->connect_port(h_, kPortIn, inPtr);
    d_->connect_port(h_, kPortOut, out.get());
    d_->run(h_, n);

    if (!inPlace && std::memcmp(in.get(), audio, n * sizeof(float)) != 0) {
      fail("run wrote to the input buffer");
    }
    for (std::uint32_t p = 2; p < kPortCount; ++p) {
      if (kPorts[p].output()) {
        // What the plug-in reports is a finite number within its range,
        // whatever came in.
        const float v = controls_[p][0];
        if (connected_[p] && !(v >= kPorts[p].minimum && v <= kPorts[p].maximum)) {
          fail("run reported a value out of its port's range");
        }
      } else if (std::memcmp(&before[p], controls_[p].get(), sizeof(float)) != 0) {
        fail("run wrote to a control input port");
      }
    }
    if (finiteAudio && controlsInRange && !absurdSeen_) {
      for (std::uint32_t i = 0; i < n; ++i) {
        if (!std::isfinite(out[i])) {
          std::fprintf(stderr, "rate %g, block of %u, sample %u is %g\n", rate_, n, i,
                       static_cast<double>(out[i]));
          fail("non-finite output from a clean block");
        }
      }
    }
    lastFinite_ = allFinite(out.get(), n);
  }

  // After absurd audio or any finite control out of range: every stage on,
  // in range, on clean noise, with each five-section recipe in turn, until
  // 0.25 s of finite output in a row.
  void recover() {
    if (!(absurdSeen_ || outOfRangeSeen_) || rate_ > 384000.0) {
      return;
    }
    const struct {
      PortIndex port;
      float value;
    } settings[] = {{kPortHumOn, 1},         {kPortPickupOn, 1},     {kPortBoostOn, 1},
                    {kPortBoostDb, 6},       {kPortPickupAmount, 1}, {kPortLevelDb, 0},
                    {kPortLowpassAmount, 1}, {kPortEnabled, 1}};
    for (const auto& c : settings) {
      controls_[c.port][0] = c.value;
    }
    connectOptional(kPortLowpassAmount, true);
    connectOptional(kPortEnabled, true);
    const double limit = 1.5 * decaySamples(rate_) + 0.25 * rate_;
    if (!(limit <= 4e6)) {
      return;
    }
    constexpr std::uint32_t kLen = 1024;
    float audio[kLen];
    Xorshift rng(0x1234567u);
    const double settle = 0.25 * rate_;
    for (const float recipe : {1.0f, 4.0f}) {
      controls_[kPortPickupType][0] = recipe;
      double ran = 0.0;
      double finiteRun = 0.0;
      while (finiteRun < settle) {
        for (float& x : audio) {
          x = rng.uniform();
        }
        run(audio, kLen, false);
        ran += kLen;
        finiteRun = lastFinite_ ? finiteRun + kLen : 0.0;
        if (ran > limit && finiteRun < settle) {
          fail("output not finite again in the time the in-range designs need to decay");
        }
      }
    }
  }

 private:
  // Largest pole radius of a section (poles of z^2 + a1 z + a2).
  static double poleRadius(const Biquad& s) {
    const double disc = s.a1 * s.a1 - 4.0 * s.a2;
    if (disc < 0.0) {
      return std::sqrt(s.a2);
    }
    const double root = std::sqrt(disc);
    return std::fmax(std::fabs(-s.a1 + root), std::fabs(-s.a1 - root)) * 0.5;
  }

  // Samples for what absurd values can leave behind to decay under the
  // in-range designs recover() runs. The voicer and boost sections can hold
  // state near the largest double (absurd gains make absurd coefficients):
  // 700 e-folds. The low-pass and the notches have sane coefficients and
  // float input, so a few times the largest float at most: 30 e-folds.
  static double decaySamples(double rate) {
    double slowest = 0.0;       // voicer and boost
    double slowestFloat = 0.0;  // low-pass and notches
    ChainRig rig(rate);
    ChainControls& k = rig.controls;
    k.humOn = k.pickupOn = k.boostOn = true;
    k.pickupAmount = 1.0f;
    k.boostDb = 6.0f;
    k.lowpassAmount = 1.0f;
    for (const float recipe : {1.0f, 4.0f}) {
      for (const bool mains50 : {false, true}) {
        k.pickupType = recipe;
        k.mains50 = mains50;
        const CascadePlan& plan = rig.prepare();
        for (std::int32_t j = 0; j < plan.count; ++j) {
          const Biquad* s = plan.sections[j];
          const bool floatBounded =
              s == &rig.lowpass || (s >= rig.hum && s < rig.hum + kHumSections);
          double& m = floatBounded ? slowestFloat : slowest;
          m = std::fmax(m, poleRadius(*s));
        }
      }
    }
    if (slowest >= 1.0 || slowestFloat >= 1.0) {
      return std::numeric_limits<double>::infinity();
    }
    return std::fmax(700.0 / -std::log(slowest), 30.0 / -std::log(slowestFloat));
  }

  const LV2_Descriptor* d_;
  LV2_Handle h_;
  double rate_;
  std::unique_ptr<float[]> controls_[kPortCount];
  bool connected_[kPortCount] = {};
  bool absurdSeen_ = false;
  bool outOfRangeSeen_ = false;
  bool lastFinite_ = true;
};

bool validRate(double rate) {
  const float f = static_cast<float>(rate);
  return rate > 0.0 && std::isfinite(rate) && f > 0.0f && std::isfinite(f);
}

constexpr std::uint32_t kMaxBlock = 8192;
constexpr int kMaxActions = 64;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Bytes b(data, size);
  const std::uint8_t pick = b.u8();
  const double rate = pick < 0xf0 ? kRates[pick % (sizeof kRates / sizeof kRates[0])] : b.f64();

  const LV2_Descriptor* d = lv2_descriptor(0);
  const LV2_Feature* features[] = {nullptr};
  LV2_Handle h = d->instantiate(d, rate, "/nonexistent/", features);
  if (!validRate(rate)) {
    if (h != nullptr) {
      fail("instantiate accepted an invalid sample rate");
    }
    return 0;
  }
  if (h == nullptr) {
    fail("instantiate refused a valid sample rate");
  }
  Session s(d, h, rate);
  std::unique_ptr<float[]> audio(new float[kMaxBlock]);
  Xorshift rng(0x9e3779b97f4a7c15ull);

  for (int action = 0; action < kMaxActions && !b.empty(); ++action) {
    switch (b.u8() % 7) {
      case 0: {  // a control, any bits
        const std::uint32_t port = 2 + b.u8() % 12u;
        s.set(port, b.f32());
        break;
      }
      case 1: {  // a control, an edge case
        const std::uint32_t port = 2 + b.u8() % 12u;
        s.set(port, kEdge[b.u8() % kEdgeCount]);
        break;
      }
      case 2: {  // an optional port
        const std::uint8_t v = b.u8();
        s.connectOptional(kPortLowpassAmount + v % 5u, (v & 0x80) != 0);
        break;
      }
      case 3: {  // a block
        const std::uint8_t mode = b.u8();
        const std::uint16_t sz = b.u16();
        // Mostly short blocks (cheap, and where the edges are); now and then long.
        const std::uint32_t n = (sz & 0x8000) != 0 ? sz % (kMaxBlock + 1u) : sz % 70u;
        const bool inPlace = (mode & 0x80) != 0;
        switch (mode % 4) {
          case 0:
            for (std::uint32_t i = 0; i < n; ++i) {
              audio[i] = b.f32();
            }
            break;
          case 1:
          case 2: {
            const float amp = static_cast<float>(b.u8()) / 64.0f;
            for (std::uint32_t i = 0; i < n; ++i) {
              audio[i] = amp * rng.uniform();
            }
            if (mode % 4 == 2 && n > 0) {
              audio[b.u16() % n] = kEdge[b.u8() % kEdgeCount];
            }
            break;
          }
          default: {
            const float v = kEdge[b.u8() % kEdgeCount];
            for (std::uint32_t i = 0; i < n; ++i) {
              audio[i] = v;
            }
            break;
          }
        }
        s.run(audio.get(), n, inPlace);
        break;
      }
      case 4: {  // a burst of clean noise blocks
        const std::uint32_t blocks = 1 + b.u8() % 8u;
        const std::uint32_t n = 1 + b.u16() % 1024u;
        for (std::uint32_t k = 0; k < blocks; ++k) {
          for (std::uint32_t i = 0; i < n; ++i) {
            audio[i] = rng.uniform();
          }
          s.run(audio.get(), n, (k & 1) != 0);
        }
        break;
      }
      case 5:
        s.allInRange(b);
        break;
      default: {  // a switch flipped
        const std::uint32_t port = 2 + b.u8() % 12u;
        s.set(port, (b.u8() & 1) != 0 ? 1.0f : 0.0f);
        break;
      }
    }
  }
  s.recover();
  return 0;
}
