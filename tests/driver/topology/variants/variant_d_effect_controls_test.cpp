// The variant-D effect nodes on the real effects and limiters, with a feature-unit double for
// the enable switch and the stand-in's settings store: the room and angle-set parameters and
// their saved values, the processing format, the down-mix through limiter B against a model
// computed here, the fade between the two paths against twin nodes that never switch, the
// limiters' ceiling, pass-through cases, latching and flushing.
#include "support/function_double.h"
#include "support/node_test_doubles.h"
#include "support/settings_device_fixture.h"

#include "plat_debug.h"
#include "plat_pool.h"

#include "driver/topology/variants/variant_d_effect_controls.h"
#include "driver/dsp/headphone_virtualizer.h"
#include "driver/dsp/tapped_delay_effect.h"

#include <cmath>
#include <algorithm>
#include <cstring>
#include <functional>

namespace
{

using gd::Make;
using nd::CFakeEntity;
using nd::Drop;

constexpr ULONG kLimiterDelay = 256; // the limiter's look-ahead, in samples
constexpr ULONG kRate = 48000;
constexpr ULONG kFade = 96; // 2 ms at 48 kHz

std::u16string Wide(const char* text)
{
    return std::u16string(text, text + std::strlen(text));
}

// Per-channel float buffers as the stream engine hands them to its nodes.
struct Buffers
{
    explicit Buffers(ULONG channels, ULONG frames = VARIANT_D_WORK_FRAMES)
        : Data(channels, std::vector<float>(frames)), Pointers(channels)
    {
        for (ULONG c = 0; c < channels; c++)
            Pointers[c] = Data[c].data();
    }
    // A copy's pointers still name the original's samples: point them at its own.
    void Reseat()
    {
        for (size_t c = 0; c < Data.size(); c++)
            Pointers[c] = Data[c].data();
    }
    std::vector<std::vector<float>> Data;
    std::vector<float*> Pointers;
};

// A deterministic signal: channel c at sample n, of the given peak amplitude.
float Signal(ULONG channel, ULONG64 n, double amplitude)
{
    const double f = 0.011 * (channel + 1) + 0.003 * double(n % 7);
    return float(amplitude * std::sin(f * double(n) + channel));
}

void Fill(Buffers& b, ULONG64 start, ULONG frames, double amplitude)
{
    for (ULONG c = 0; c < b.Data.size(); c++)
        for (ULONG i = 0; i < frames; i++)
            b.Data[c][i] = Signal(c, start + i, amplitude);
}

class VariantDEffects : public settings_test::SettingsDeviceFixture
{
protected:
    void SetUp() override
    {
        SettingsDeviceFixture::SetUp();
        gd::Log().clear();
        CreateDevice();
        m_Entity = Make<CFakeEntity>(10u);
    }
    void TearDown() override
    {
        for (auto drop = m_Made.rbegin(); drop != m_Made.rend(); ++drop)
            (*drop)();
        Drop(m_Entity);
        SettingsDeviceFixture::TearDown();
    }
    template <class T> T* Node(ULONG id, ULONG selector)
    {
        T* node = Make<T>(id);
        m_Made.push_back([node] { Drop(node); });
        EXPECT_EQ(node->Init(m_Entity, selector, Fdo(), &m_Lock), STATUS_SUCCESS);
        return node;
    }
    CVariantDEffectControl139* Delay(ULONG id = 6) { return Node<CVariantDEffectControl139>(id, 139); }
    CVariantDEffectControl140* Virtualizer(ULONG id = 7) { return Node<CVariantDEffectControl140>(id, 140); }

    void Save(const char* name, ULONG value)
    {
        ASSERT_EQ(plat::RegSetValue(SettingsPath(), Wide(name), REG_BINARY, &value, sizeof(value)),
                  STATUS_SUCCESS);
    }
    bool Stored(const char* name, ULONG* value = nullptr)
    {
        settings_test::SettingsMap values = ReadSettings();
        auto it = values.find({u"", settings_test::Upcase(Wide(name))});
        if (it == values.end())
            return false;
        if (value && it->second.Data.size() == sizeof(ULONG))
            std::memcpy(value, it->second.Data.data(), sizeof(ULONG));
        return true;
    }

    static WAVEFORMATEXTENSIBLE Format(WORD channels, ULONG rate = kRate, bool isFloat = false)
    {
        return isFloat ? gd::Pcm(channels, rate, 4, 32, 0, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT)
                       : gd::Pcm(channels, rate, 2, 16, 0);
    }
    static void Run(IDspNode* node, const WAVEFORMATEXTENSIBLE& format, Buffers& b, ULONG frames)
    {
        ASSERT_EQ(node->Process(&format, b.Pointers.data(), frames), STATUS_SUCCESS);
    }

    CMutexLock m_Lock;
    CFakeEntity* m_Entity = nullptr;
    std::vector<std::function<void()>> m_Made;
};

TEST_F(VariantDEffects, RoomAndAngleSetParametersAreCheckedAppliedAndSaved)
{
    CVariantDEffectControl140* node = Virtualizer(7);
    CHeadphoneVirtualizer* v = node->Virtualizer();
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(OUT_OF(ULONG, node, GetParameterCount), 2u);
    EXPECT_EQ(v->GetMode(), 0u) << "headphone mode";
    ULONG values[2] = {};
    ASSERT_EQ(node->GetParameters(0, 2, values), STATUS_SUCCESS);
    EXPECT_EQ(values[0], v->GetHeadphoneRoom()) << "the virtualiser's default room";
    EXPECT_EQ(values[1], 0u);

    const ULONG one = 1;
    ASSERT_EQ(node->SetParameters(1, 1, &one), STATUS_SUCCESS);
    EXPECT_EQ(v->GetHeadphoneAltAngles(), 1u);
    EXPECT_EQ(v->GetSpeakerAltAngles(), 1u);
    const ULONG both[2] = {2, 0};
    ASSERT_EQ(node->SetParameters(0, 2, both), STATUS_SUCCESS);
    EXPECT_EQ(v->GetHeadphoneRoom(), 2u);
    EXPECT_EQ(v->GetHeadphoneAltAngles(), 0u);
    ULONG saved = 99;
    EXPECT_TRUE(Stored("Unit07_0", &saved));
    EXPECT_EQ(saved, 2u);
    EXPECT_TRUE(Stored("Unit07_1", &saved));
    EXPECT_EQ(saved, 0u);

    struct Refused
    {
        ULONG First, Count;
        ULONG Values[2];
        const char* Why;
    };
    const Refused refused[] = {{0, 1, {3, 0}, "room 3"},
                               {0, 2, {7, 1}, "a bad room refuses the angle set with it"},
                               {1, 2, {0, 0}, "past the count"},
                               {0, 0, {0, 0}, "nothing to set"},
                               {2, 1, {0, 0}, "no parameter 2"}};
    for (const Refused& r : refused)
    {
        EXPECT_EQ(node->SetParameters(r.First, r.Count, r.Values), STATUS_INVALID_PARAMETER) << r.Why;
        ASSERT_EQ(node->GetParameters(0, 2, values), STATUS_SUCCESS);
        EXPECT_EQ(values[0], 2u) << r.Why;
        EXPECT_EQ(values[1], 0u) << r.Why;
        EXPECT_EQ(v->GetHeadphoneRoom(), 2u) << r.Why;
        EXPECT_TRUE(Stored("Unit07_0", &saved));
        EXPECT_EQ(saved, 2u) << r.Why;
    }
    EXPECT_EQ(node->GetParameters(1, 2, values), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(node->GetParameters(0, 0, nullptr), STATUS_SUCCESS);

    CVariantDEffectControl139* delay = Delay(6);
    EXPECT_EQ(delay->GetParameters(0, 1, values), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(delay->SetParameters(0, 1, &one), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(OUT_OF(ULONG, delay, GetParameterCount), 0u);
    GUID name{};
    ASSERT_EQ(delay->GetNameGuid(&name), STATUS_SUCCESS);
    EXPECT_TRUE(IsEqualGUID(name, VARIANT_D_DELAY_EFFECT_NAME));
    ASSERT_EQ(node->GetNameGuid(&name), STATUS_SUCCESS);
    EXPECT_TRUE(IsEqualGUID(name, VARIANT_D_VIRTUALIZER_EFFECT_NAME));
}

TEST_F(VariantDEffects, SavedParametersAreRestoredAndAnUnknownRoomKeepsTheDefault)
{
    Save("Unit07_0", 2);
    Save("Unit07_1", 1);
    CVariantDEffectControl140* restored = Virtualizer(7);
    EXPECT_EQ(restored->Virtualizer()->GetHeadphoneRoom(), 2u);
    EXPECT_EQ(restored->Virtualizer()->GetHeadphoneAltAngles(), 1u);
    EXPECT_EQ(restored->Virtualizer()->GetSpeakerAltAngles(), 1u);

    Save("Unit08_0", 3);
    CVariantDEffectControl140* damaged = Virtualizer(8);
    ULONG values[2] = {};
    ASSERT_EQ(damaged->GetParameters(0, 2, values), STATUS_SUCCESS);
    const ULONG fresh = CHeadphoneVirtualizer().GetHeadphoneRoom();
    EXPECT_EQ(values[0], fresh) << "a saved room outside 0 to 2 is not taken";
    EXPECT_EQ(damaged->Virtualizer()->GetHeadphoneRoom(), fresh);
    const ULONG same = fresh;
    EXPECT_EQ(damaged->SetParameters(0, 1, &same), STATUS_SUCCESS);
    EXPECT_NE(plat::DebugLogText().find("ignores its saved room 3"), std::string::npos);
}

TEST_F(VariantDEffects, StartGivesTheLimitersAFloatCopyOfTheStreamFormat)
{
    CVariantDEffectControl140* node = Virtualizer();
    const WAVEFORMATEXTENSIBLE pcm = Format(6);
    ASSERT_EQ(node->Start(&pcm), STATUS_SUCCESS);
    const WAVEFORMATEXTENSIBLE& f = node->ProcessingFormat();
    EXPECT_TRUE(IsEqualGUID(f.SubFormat, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT));
    EXPECT_EQ(f.Format.wBitsPerSample, 32);
    EXPECT_EQ(f.Samples.wValidBitsPerSample, 32);
    EXPECT_EQ(f.Format.nBlockAlign, 24);
    EXPECT_EQ(f.Format.nAvgBytesPerSec, 24u * kRate);
    EXPECT_EQ(f.Format.nChannels, 6);

    WAVEFORMATEXTENSIBLE plain = pcm;
    plain.Format.wFormatTag = WAVE_FORMAT_PCM;
    plain.Format.cbSize = 0;
    ASSERT_EQ(node->Start(&plain), STATUS_SUCCESS);
    EXPECT_EQ(node->ProcessingFormat().Format.wFormatTag, 3);
    EXPECT_EQ(node->ProcessingFormat().Format.nBlockAlign, 24);

    const WAVEFORMATEXTENSIBLE flt = Format(2, 44100, true);
    ASSERT_EQ(node->Start(&flt), STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(&node->ProcessingFormat(), &flt, sizeof(flt)), 0) << "float is used unchanged";
}

// With the effect off, channels 0 and 1 are the down-mix through limiter B (unity gain below
// the ceiling, so the input delayed by the limiter's look-ahead), and every other channel is
// silent: the stream sends only the pair, and the stream's next effect node must not mix them
// into it again.
TEST_F(VariantDEffects, EffectOffGivesTheLimitedDownMix)
{
    struct Case
    {
        WORD Channels;
        std::function<double(const std::vector<double>&)> Left, Right;
    };
    const Case cases[] = {
        {8, [](const std::vector<double>& x) { return x[0] + 0.707 * x[2] + x[3] + x[4] + x[6]; },
         [](const std::vector<double>& x) { return x[1] + 0.707 * x[2] + x[3] + x[5] + x[7]; }},
        {6, [](const std::vector<double>& x) { return x[0] + 0.707 * x[2] + x[3] + x[4]; },
         [](const std::vector<double>& x) { return x[1] + 0.707 * x[2] + x[3] + x[5]; }},
        {4, [](const std::vector<double>& x) { return x[0] - x[2]; },
         [](const std::vector<double>& x) { return x[1] + x[3]; }},
        {3, [](const std::vector<double>& x) { return x[0]; },
         [](const std::vector<double>& x) { return x[1]; }},
    };
    ULONG id = 20;
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.Channels);
        CVariantDEffectControl139* node = Delay(id++);
        const WAVEFORMATEXTENSIBLE format = Format(c.Channels);
        ASSERT_EQ(node->Start(&format), STATUS_SUCCESS);
        Buffers b(c.Channels);
        const ULONG blocks = 3;
        for (ULONG block = 0; block < blocks; block++)
        {
            const ULONG64 start = ULONG64(block) * VARIANT_D_WORK_FRAMES;
            Fill(b, start, VARIANT_D_WORK_FRAMES, 0.05);
            Run(node, format, b, VARIANT_D_WORK_FRAMES);
            for (ULONG i = 0; i < VARIANT_D_WORK_FRAMES; i++)
            {
                const ULONG64 n = start + i;
                if (n < kLimiterDelay)
                {
                    ASSERT_EQ(b.Data[0][i], 0.0f) << n;
                    continue;
                }
                std::vector<double> x(c.Channels);
                for (ULONG ch = 0; ch < c.Channels; ch++)
                    x[ch] = Signal(ch, n - kLimiterDelay, 0.05);
                ASSERT_NEAR(b.Data[0][i], c.Left(x), 1e-5) << n;
                ASSERT_NEAR(b.Data[1][i], c.Right(x), 1e-5) << n;
                for (ULONG ch = 2; ch < c.Channels; ch++)
                    ASSERT_EQ(b.Data[ch][i], 0.0f) << "channel " << ch << " at " << n;
            }
        }
    }
}

// With the effect off and nothing to mix in, both nodes hand back the stream's own samples, bit
// for bit after the limiter's look-ahead: the stream converts back to 16 bits by truncation, so
// a sample a fraction of a unit nearer zero (-1 plus an offset) would come out as 0.
TEST_F(VariantDEffects, EffectOffHandsBackEachSampleExactly)
{
    ULONG id = 40;
    for (WORD channels : {WORD(2), WORD(6)})
        for (bool delay : {true, false})
        {
            SCOPED_TRACE(std::to_string(channels) + (delay ? " ch, delay node" : " ch, virtualiser node"));
            IDspNode* node = delay ? static_cast<IDspNode*>(Delay(id++)) : Virtualizer(id++);
            const WAVEFORMATEXTENSIBLE format = Format(channels);
            ASSERT_EQ(node->Start(&format), STATUS_SUCCESS);
            // Small 16-bit values, -1 and +1 among them, on the front pair only.
            auto sample = [](ULONG c, ULONG64 n)
            { return c < 2 ? float(int(n * 7 + c) % 9 - 4) / 32768.0f : 0.0f; };
            Buffers b(channels);
            for (ULONG block = 0; block < 3; block++)
            {
                const ULONG64 start = ULONG64(block) * VARIANT_D_WORK_FRAMES;
                for (ULONG c = 0; c < channels; c++)
                    for (ULONG i = 0; i < VARIANT_D_WORK_FRAMES; i++)
                        b.Data[c][i] = sample(c, start + i);
                Run(node, format, b, VARIANT_D_WORK_FRAMES);
                for (ULONG i = 0; i < VARIANT_D_WORK_FRAMES; i++)
                {
                    const ULONG64 n = start + i;
                    for (ULONG c = 0; n >= kLimiterDelay && c < 2; c++)
                        ASSERT_EQ(b.Data[c][i], sample(c, n - kLimiterDelay))
                            << "channel " << c << " at " << n;
                }
            }
        }
}

// With the delay on and the signal low, the output is the tapped-delay effect's own rendering of
// the stream, boosted by +9 dB in limiter A and delayed by its look-ahead: an effect object run
// here on the same samples shows what it must be.
TEST_F(VariantDEffects, DelayOnGivesTheBoostedEffectOutput)
{
    CVariantDEffectControl139* node = Delay();
    const WAVEFORMATEXTENSIBLE format = Format(6);
    ASSERT_EQ(node->Start(&format), STATUS_SUCCESS);
    ASSERT_EQ(node->SetEnable(1), STATUS_SUCCESS);
    CTappedDelayEffect* effect = new (NonPagedPool, TAPPED_DELAY_POOL_TAG) CTappedDelayEffect();
    ASSERT_NE(effect, nullptr);
    effect->Init();
    effect->SetFormat(kRate, 5);
    const ULONG blocks = 6;
    std::vector<float> model[2];
    Buffers b(6), m(8);
    for (ULONG block = 0; block < blocks; block++)
    {
        Fill(b, ULONG64(block) * 512, 512, 0.02);
        Fill(m, ULONG64(block) * 512, 512, 0.02);
        for (auto& channel : m.Data)
            for (float& v : channel)
                v += 1e-12f;
        effect->Process(m.Pointers.data(), m.Pointers.data(), 512);
        for (ULONG c = 0; c < 2; c++)
            model[c].insert(model[c].end(), m.Data[c].begin(), m.Data[c].end());
        Run(node, format, b, 512);
        if (block == 0)
            continue; // the switch's fade
        for (ULONG c = 0; c < 2; c++)
            for (ULONG i = 0; i < 512; i++)
            {
                const size_t n = size_t(block) * 512 + i;
                ASSERT_NEAR(b.Data[c][i], VARIANT_D_DELAY_BOOST * model[c][n - kLimiterDelay], 1e-6)
                    << "channel " << c << " sample " << n;
            }
    }
    float peak = 0;
    for (float v : model[0])
        peak = std::max(peak, std::fabs(v));
    EXPECT_GT(peak, 1e-3f) << "the effect renders something";
    EXPECT_LT(peak * VARIANT_D_DELAY_BOOST, 1.0f) << "the limiter had nothing to hold";
    effect->~CTappedDelayEffect();
    ExFreePoolWithTag(effect, TAPPED_DELAY_POOL_TAG);
}

// Switching on fades the dry path out over 2 ms and the effect in over the next 2 ms; switching
// off mirrors it. Twin nodes fed the same blocks, one never switched on and one on from the
// start, show what each path gives at every sample.
TEST_F(VariantDEffects, SwitchingFadesOutThenInWithinOneBlock)
{
    for (WORD channels : {WORD(6), WORD(2)})
    {
        SCOPED_TRACE(channels);
        const ULONG base = channels * 10;
        CVariantDEffectControl140* switched = Virtualizer(base);
        CVariantDEffectControl140* dry = Virtualizer(base + 1);
        CVariantDEffectControl140* wet = Virtualizer(base + 2);
        const WAVEFORMATEXTENSIBLE format = Format(channels);
        for (auto* node : {switched, dry, wet})
            ASSERT_EQ(node->Start(&format), STATUS_SUCCESS);
        ASSERT_EQ(wet->SetEnable(1), STATUS_SUCCESS);
        ULONG64 position = 0;
        // Runs one block of `frames` through all three; the switched node's first two channels.
        auto block =
            [&](ULONG frames, std::vector<float>* out, std::vector<float>* off, std::vector<float>* on)
        {
            Buffers a(channels), d(channels), w(channels);
            for (Buffers* b : {&a, &d, &w})
                Fill(*b, position, frames, 0.1);
            Run(switched, format, a, frames);
            Run(dry, format, d, frames);
            Run(wet, format, w, frames);
            position += frames;
            for (ULONG c = 0; c < 2; c++)
            {
                out[c].assign(a.Data[c].begin(), a.Data[c].begin() + frames);
                off[c].assign(d.Data[c].begin(), d.Data[c].begin() + frames);
                on[c].assign(w.Data[c].begin(), w.Data[c].begin() + frames);
            }
        };
        std::vector<float> out[2], off[2], on[2];
        for (int warm = 0; warm < 8; warm++)
            block(512, out, off, on);
        auto fall = [](ULONG i) { return 1.0f - float(i) / float(kFade - 1); };
        auto rise = [](ULONG i) { return float(i - kFade) / float(kFade - 1); };

        ASSERT_EQ(switched->SetEnable(1), STATUS_SUCCESS);
        block(512, out, off, on);
        for (ULONG c = 0; c < 2; c++)
        {
            ASSERT_GT(std::fabs(on[c][300]), 1e-4f) << "the effect is audible by now";
            for (ULONG i = 0; i < 512; i++)
            {
                const float expected = i < kFade       ? fall(i) * off[c][i]
                                       : i < 2 * kFade ? on[c][i] * rise(i)
                                                       : on[c][i];
                ASSERT_FLOAT_EQ(out[c][i], expected) << "on: channel " << c << " sample " << i;
            }
        }
        block(512, out, off, on);
        EXPECT_EQ(out[0], on[0]) << "the block after the fade is steady";

        ASSERT_EQ(switched->SetEnable(0), STATUS_SUCCESS);
        block(512, out, off, on);
        for (ULONG c = 0; c < 2; c++)
            for (ULONG i = 0; i < 512; i++)
            {
                // Two channels follow the latched byte alone: the fade-out runs on the dry path.
                const float& from = channels >= 6 ? on[c][i] : off[c][i];
                const float expected = i < kFade       ? from * fall(i)
                                       : i < 2 * kFade ? off[c][i] * rise(i)
                                                       : off[c][i];
                ASSERT_FLOAT_EQ(out[c][i], expected) << "off: channel " << c << " sample " << i;
            }

        // A block shorter than the fade ends it early; the next one is steady.
        ASSERT_EQ(switched->SetEnable(1), STATUS_SUCCESS);
        block(50, out, off, on);
        for (ULONG i = 0; i < 50; i++)
            ASSERT_FLOAT_EQ(out[0][i], fall(i) * off[0][i]) << i;
        block(512, out, off, on);
        EXPECT_EQ(out[0], on[0]);
        EXPECT_EQ(out[1], on[1]);
    }
}

// The two nodes of a unit, paired, against an unpaired twin of each fed what it is fed: each
// gives what its twin gives, except the node that is off while the other is on and places every
// channel of the stream, which hands the stream on as it came. The virtualiser places stereo,
// 5.1 and 7.1, the delay 5.1 and 7.1; for any other layout the node that is off mixes down. With
// both on, the block that switches them on fades each from what it would pass on, not from the
// down-mix its twin knows, so that block is left out.
TEST_F(VariantDEffects, APairedNodeThatIsOffHandsTheStreamToTheEffectThatIsOn)
{
    struct Row
    {
        bool DelayOn, VirtualizerOn;
        WORD Channels;
        bool DelayPasses, VirtualizerPasses;
    };
    const Row rows[] = {
        {false, true, 2, true, false},   {false, true, 4, false, false}, {false, true, 6, true, false},
        {false, true, 8, true, false},   {true, false, 2, false, false}, {true, false, 4, false, false},
        {true, false, 6, false, true},   {true, false, 8, false, true},  {false, false, 6, false, false},
        {false, false, 2, false, false}, {true, true, 6, false, false},  {true, true, 8, false, false},
    };
    ULONG id = 100;
    for (const Row& row : rows)
    {
        SCOPED_TRACE(::testing::Message() << row.Channels << " ch, delay " << row.DelayOn << ", virtualiser "
                                          << row.VirtualizerOn);
        CVariantDEffectControl139* delay = Delay(id++);
        CVariantDEffectControl140* virtualizer = Virtualizer(id++);
        CVariantDEffectControl139* delayTwin = Delay(id++);
        CVariantDEffectControl140* virtualizerTwin = Virtualizer(id++);
        CVariantDEffectControl::Pair(delay, virtualizer);
        const WAVEFORMATEXTENSIBLE format = Format(row.Channels);
        for (CVariantDEffectControl* node :
             {static_cast<CVariantDEffectControl*>(delay), static_cast<CVariantDEffectControl*>(virtualizer),
              static_cast<CVariantDEffectControl*>(delayTwin),
              static_cast<CVariantDEffectControl*>(virtualizerTwin)})
            ASSERT_EQ(node->Start(&format), STATUS_SUCCESS);
        for (auto* node : {delay, delayTwin})
            ASSERT_EQ(node->SetEnable(row.DelayOn), STATUS_SUCCESS);
        for (auto* node : {virtualizer, virtualizerTwin})
            ASSERT_EQ(node->SetEnable(row.VirtualizerOn), STATUS_SUCCESS);
        bool heard = false;
        for (ULONG block = 0; block < 6; block++)
        {
            Buffers in(row.Channels);
            Fill(in, ULONG64(block) * VARIANT_D_WORK_FRAMES, VARIANT_D_WORK_FRAMES, 0.1);
            Buffers afterDelay = in, twin = in;
            afterDelay.Reseat();
            twin.Reseat();
            Run(delay, format, afterDelay, VARIANT_D_WORK_FRAMES);
            Run(delayTwin, format, twin, VARIANT_D_WORK_FRAMES);
            const bool steady = block > 0 || !(row.DelayOn && row.VirtualizerOn);
            if (steady)
            {
                ASSERT_EQ(afterDelay.Data, row.DelayPasses ? in.Data : twin.Data)
                    << "the delay node, block " << block;
            }
            Buffers out = afterDelay, outTwin = afterDelay;
            out.Reseat();
            outTwin.Reseat();
            Run(virtualizer, format, out, VARIANT_D_WORK_FRAMES);
            Run(virtualizerTwin, format, outTwin, VARIANT_D_WORK_FRAMES);
            if (steady)
            {
                ASSERT_EQ(out.Data, row.VirtualizerPasses ? afterDelay.Data : outTwin.Data)
                    << "the virtualiser node, block " << block;
            }
            heard =
                heard || std::any_of(out.Data[0].begin(), out.Data[0].end(), [](float v) { return v != 0; });
        }
        EXPECT_TRUE(heard || (row.DelayOn && row.Channels < 6)) << "the chain gave only silence";
    }
}

// Every change of what a paired node hands back, its own switch or its partner's, fades out over
// 2 ms and in over the next 2 ms on every channel: channels above the front pair fall with it
// when the node goes to a stereo result and rise with it when it goes back to the stream as it
// came. Unpaired twins of the delay node, one on and one off, fed the same blocks, show what the
// effect and the down-mix give at every sample.
TEST_F(VariantDEffects, APairedNodeFadesEveryChannelItHandsBack)
{
    enum Source
    {
        INPUT,
        WET,
        DRY
    };
    struct Row
    {
        const char* What;
        bool DelayBefore, VirtualizerBefore, DelayAfter, VirtualizerAfter;
        Source From, To;
    };
    const Row rows[] = {
        {"on beside the virtualiser", false, true, true, true, INPUT, WET},
        {"off beside the virtualiser", true, true, false, true, WET, INPUT},
        {"off, the virtualiser going on", false, false, false, true, DRY, INPUT},
        {"off, the virtualiser going off", false, true, false, false, INPUT, DRY},
        {"on, the virtualiser going off", true, false, false, true, WET, INPUT},
    };
    ULONG id = 110;
    for (const Row& row : rows)
    {
        SCOPED_TRACE(row.What);
        CVariantDEffectControl139* delay = Delay(id++);
        CVariantDEffectControl140* virtualizer = Virtualizer(id++);
        CVariantDEffectControl139* wetTwin = Delay(id++);
        CVariantDEffectControl139* dryTwin = Delay(id++);
        CVariantDEffectControl::Pair(delay, virtualizer);
        const WAVEFORMATEXTENSIBLE format = Format(6);
        for (CEffectControlNode* node :
             {static_cast<CEffectControlNode*>(delay), static_cast<CEffectControlNode*>(virtualizer),
              static_cast<CEffectControlNode*>(wetTwin), static_cast<CEffectControlNode*>(dryTwin)})
            ASSERT_EQ(node->Start(&format), STATUS_SUCCESS);
        ASSERT_EQ(wetTwin->SetEnable(1), STATUS_SUCCESS);
        ASSERT_EQ(delay->SetEnable(row.DelayBefore), STATUS_SUCCESS);
        ASSERT_EQ(virtualizer->SetEnable(row.VirtualizerBefore), STATUS_SUCCESS);
        for (ULONG block = 0; block < 5; block++)
        {
            if (block == 4)
            {
                ASSERT_EQ(delay->SetEnable(row.DelayAfter), STATUS_SUCCESS);
                ASSERT_EQ(virtualizer->SetEnable(row.VirtualizerAfter), STATUS_SUCCESS);
            }
            Buffers in(6);
            Fill(in, ULONG64(block) * VARIANT_D_WORK_FRAMES, VARIANT_D_WORK_FRAMES, 0.1);
            Buffers out = in, wet = in, dry = in;
            for (Buffers* b : {&out, &wet, &dry})
                b->Reseat();
            Run(delay, format, out, VARIANT_D_WORK_FRAMES);
            Run(wetTwin, format, wet, VARIANT_D_WORK_FRAMES);
            Run(dryTwin, format, dry, VARIANT_D_WORK_FRAMES);
            if (block < 4)
                continue;
            const Buffers* sources[] = {&in, &wet, &dry};
            for (ULONG c = 0; c < 6; c++)
            {
                const std::vector<float>& from = sources[row.From]->Data[c];
                const std::vector<float>& to = sources[row.To]->Data[c];
                for (ULONG i = 0; i < VARIANT_D_WORK_FRAMES; i++)
                {
                    const float fall = 1.0f - float(i) / float(kFade - 1);
                    const float rise = float(i - kFade) / float(kFade - 1);
                    const float expected = i < kFade ? fall * from[i] : i < 2 * kFade ? to[i] * rise : to[i];
                    ASSERT_FLOAT_EQ(out.Data[c][i], expected) << "channel " << c << " sample " << i;
                }
            }
        }
    }
}

// A node goes with its unit's other children, in whatever order they are released; the one left
// behind works on unpaired, mixing down for the partner that is gone.
TEST_F(VariantDEffects, EitherPairedNodeMayGoFirst)
{
    for (bool delayFirst : {true, false})
    {
        SCOPED_TRACE(delayFirst ? "delay node released first" : "virtualiser node released first");
        CVariantDEffectControl139* delay = Make<CVariantDEffectControl139>(130u);
        CVariantDEffectControl140* virtualizer = Make<CVariantDEffectControl140>(131u);
        ASSERT_EQ(delay->Init(m_Entity, 139, Fdo(), &m_Lock), STATUS_SUCCESS);
        ASSERT_EQ(virtualizer->Init(m_Entity, 140, Fdo(), &m_Lock), STATUS_SUCCESS);
        CVariantDEffectControl::Pair(delay, virtualizer);
        CVariantDEffectControl* gone = delayFirst ? static_cast<CVariantDEffectControl*>(delay) : virtualizer;
        CVariantDEffectControl* left = delayFirst ? static_cast<CVariantDEffectControl*>(virtualizer) : delay;
        CVariantDEffectControl* twin = delayFirst ? static_cast<CVariantDEffectControl*>(Virtualizer(132))
                                                  : static_cast<CVariantDEffectControl*>(Delay(132));
        ASSERT_EQ(gone->SetEnable(1), STATUS_SUCCESS);
        Drop(gone);
        const WAVEFORMATEXTENSIBLE format = Format(6);
        ASSERT_EQ(left->Start(&format), STATUS_SUCCESS);
        ASSERT_EQ(twin->Start(&format), STATUS_SUCCESS);
        Buffers b(6), t(6);
        Fill(b, 0, VARIANT_D_WORK_FRAMES, 0.1);
        Fill(t, 0, VARIANT_D_WORK_FRAMES, 0.1);
        Run(left, format, b, VARIANT_D_WORK_FRAMES);
        Run(twin, format, t, VARIANT_D_WORK_FRAMES);
        EXPECT_EQ(b.Data, t.Data);
        Drop(left);
    }
}

// The flags also rise when the byte is read back from the device, as after the device reports
// the switch just made: with the byte as it was, the stream goes on as on a node never read
// back, with no fade out and in.
TEST_F(VariantDEffects, ReadingBackTheSameByteStartsNoFade)
{
    for (UCHAR on : {UCHAR(1), UCHAR(0)})
    {
        SCOPED_TRACE(on ? "on" : "off");
        CVariantDEffectControl140* node = Virtualizer(140 + on * 2);
        CVariantDEffectControl140* twin = Virtualizer(141 + on * 2);
        const WAVEFORMATEXTENSIBLE format = Format(6);
        for (auto* n : {node, twin})
        {
            ASSERT_EQ(n->Start(&format), STATUS_SUCCESS);
            ASSERT_EQ(n->SetEnable(on), STATUS_SUCCESS);
        }
        for (ULONG block = 0; block < 4; block++)
        {
            if (block == 2)
            {
                ASSERT_EQ(node->SaveValues(), STATUS_SUCCESS);
                ASSERT_EQ(node->SetEnable(on), STATUS_SUCCESS);
            }
            Buffers b(6), t(6);
            Fill(b, ULONG64(block) * VARIANT_D_WORK_FRAMES, VARIANT_D_WORK_FRAMES, 0.1);
            Fill(t, ULONG64(block) * VARIANT_D_WORK_FRAMES, VARIANT_D_WORK_FRAMES, 0.1);
            Run(node, format, b, VARIANT_D_WORK_FRAMES);
            Run(twin, format, t, VARIANT_D_WORK_FRAMES);
            ASSERT_EQ(b.Data, t.Data) << "block " << block;
        }
    }
}

// +12 dB into both nodes, on and off: every channel stays at or under full scale.
TEST_F(VariantDEffects, LimitersHoldALoudStreamUnderFullScale)
{
    ULONG id = 40;
    for (bool on : {false, true})
    {
        for (IDspNode* node :
             {static_cast<IDspNode*>(Delay(id++)), static_cast<IDspNode*>(Virtualizer(id++))})
        {
            const WAVEFORMATEXTENSIBLE format = Format(8);
            ASSERT_EQ(node->Start(&format), STATUS_SUCCESS);
            if (on)
            {
                ASSERT_EQ(static_cast<CEffectControlNode*>(node)->SetEnable(1), STATUS_SUCCESS);
            }
            Buffers b(8);
            float peak = 0, pairPeak = 0;
            for (ULONG block = 0; block < 40; block++)
            {
                Fill(b, ULONG64(block) * 512, 512, 4.0);
                Run(node, format, b, 512);
                for (ULONG c = 0; c < 8; c++)
                {
                    float& kept = c < 2 ? pairPeak : peak;
                    for (float s : b.Data[c])
                        kept = std::max(kept, std::fabs(s));
                }
            }
            EXPECT_LE(std::max(peak, pairPeak), 1.0f + 1e-6f) << (on ? "effect on" : "effect off");
            // The delay's output is clamped at full scale, and its limiter's one gain follows
            // the input channels it leaves beside it, here four times full scale.
            EXPECT_GT(pairPeak, 0.2f) << "the limiter holds the level, it does not silence it";
        }
    }
}

// A float stream is left as it is, and so is every stream of a node that lost its effect; the
// change is consumed all the same.
TEST_F(VariantDEffects, FloatStreamsPassUntouchedAndTheChangeIsConsumed)
{
    CVariantDEffectControl140* node = Virtualizer();
    const WAVEFORMATEXTENSIBLE format = Format(6, kRate, true);
    ASSERT_EQ(node->Start(&format), STATUS_SUCCESS);
    ASSERT_EQ(node->SetEnable(1), STATUS_SUCCESS);
    Buffers b(6);
    Fill(b, 0, 512, 0.5);
    const auto before = b.Data;
    Run(node, format, b, 512);
    EXPECT_EQ(b.Data, before);
    EXPECT_FALSE(node->TakeChangeFlag(EFFECT_CHANGE_FLAG)) << "Process took the change";
    EXPECT_EQ(node->GetLatchedEnable(), 1);
}

TEST_F(VariantDEffects, LatchCopiesTheEnableOnlyWhileAChangeIsPending)
{
    CVariantDEffectControl139* node = Delay();
    ASSERT_EQ(node->SetEnable(1), STATUS_SUCCESS);
    node->LatchPending();
    EXPECT_EQ(node->GetLatchedEnable(), 1);
    // The device refuses the next value: the flags rise, the byte and so the latch stay.
    m_Entity->Fail["setswitch"] = STATUS_INTERNAL_ERROR;
    EXPECT_EQ(node->SetEnable(0), STATUS_INTERNAL_ERROR);
    node->LatchPending();
    EXPECT_EQ(node->GetLatchedEnable(), 1);
    m_Entity->Fail.clear();
    ASSERT_EQ(node->SetEnable(0), STATUS_SUCCESS);
    EXPECT_TRUE(node->TakeChangeFlag(EFFECT_PENDING_FLAG)) << "taken away before the latch";
    node->LatchPending();
    EXPECT_EQ(node->GetLatchedEnable(), 1) << "nothing pending, nothing copied";
}

// Stop flushes: the delay network's ring and both limiters start silent, so what was played
// before the stop never sounds after it.
TEST_F(VariantDEffects, StopClearsTheDelayAndTheLimiters)
{
    auto tailAfter = [&](bool stop)
    {
        CVariantDEffectControl139* node = Delay(stop ? 50 : 51);
        const WAVEFORMATEXTENSIBLE format = Format(8);
        EXPECT_EQ(node->Start(&format), STATUS_SUCCESS);
        EXPECT_EQ(node->SetEnable(1), STATUS_SUCCESS);
        Buffers b(8);
        Fill(b, 0, 512, 0.5);
        Run(node, format, b, 512);
        if (stop)
        {
            EXPECT_EQ(node->Stop(), STATUS_SUCCESS);
            EXPECT_EQ(node->Start(&format), STATUS_SUCCESS);
        }
        float energy = 0;
        for (int block = 0; block < 6; block++)
        {
            for (auto& channel : b.Data)
                std::fill(channel.begin(), channel.end(), 0.0f);
            Run(node, format, b, 512);
            for (ULONG c = 0; c < 2; c++)
                for (float s : b.Data[c])
                    energy += s * s;
        }
        return energy;
    };
    EXPECT_GT(tailAfter(false), 1e-3f) << "without a stop the room rings on";
    EXPECT_LT(tailAfter(true), 1e-6f);
}

// Pool running out at each allocation of a node's set-up in turn: the set-up reports the enable
// control's status (the effect objects' failures are not the node's), a node that lost any of its objects
// passes the stream through (or mixes it down when only the virtualiser's engine is missing), and nothing is
// left in pool afterwards.
TEST_F(VariantDEffects, EveryFailedSetUpAllocationLeavesAWorkingNodeAndNoLeak)
{
    for (bool virtualizer : {false, true})
    {
        SCOPED_TRACE(virtualizer ? "control 140" : "control 139");
        const WAVEFORMATEXTENSIBLE format = Format(6);
        auto build = [&](ULONG failAt, ULONGLONG* allocations)
        {
            const plat::PoolSnapshot before = plat::TakePoolSnapshot();
            CEffectControlNode* node =
                virtualizer ? static_cast<CEffectControlNode*>(Make<CVariantDEffectControl140>(60u))
                            : static_cast<CEffectControlNode*>(Make<CVariantDEffectControl139>(60u));
            const ULONGLONG start = plat::PoolAllocationCount();
            if (failAt)
                plat::FailNthAllocation(failAt);
            const NTSTATUS status =
                virtualizer
                    ? static_cast<CVariantDEffectControl140*>(node)->Init(m_Entity, 140, Fdo(), &m_Lock)
                    : static_cast<CVariantDEffectControl139*>(node)->Init(m_Entity, 139, Fdo(), &m_Lock);
            *allocations = plat::PoolAllocationCount() - start;
            plat::ClearPoolFailures();
            // Only the enable control's own set-up fails the node; its effect objects never do.
            EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_INSUFFICIENT_RESOURCES)
                << "failing allocation " << failAt << ": " << std::hex << status;
            EXPECT_EQ(node->Start(&format), STATUS_SUCCESS);
            EXPECT_EQ(node->SetEnable(1), STATUS_SUCCESS);
            Buffers b(6);
            for (int block = 0; block < 3; block++)
            {
                Fill(b, ULONG64(block) * 512, 512, 0.5);
                EXPECT_EQ(node->Process(&format, b.Pointers.data(), 512), STATUS_SUCCESS);
                for (const auto& channel : b.Data)
                    for (float v : channel)
                        ASSERT_TRUE(std::isfinite(v) && std::fabs(v) <= 3.0f)
                            << "failing allocation " << failAt;
            }
            EXPECT_EQ(node->Stop(), STATUS_SUCCESS);
            Drop(node);
            EXPECT_EQ(plat::PoolLeaksSince(before), "") << "failing allocation " << failAt;
        };
        ULONGLONG total = 0;
        build(0, &total);
        ASSERT_GT(total, 20u);
        for (ULONG failAt = 1; failAt <= total; failAt++)
        {
            ULONGLONG ignored = 0;
            build(failAt, &ignored);
            if (HasFatalFailure())
                return;
        }
    }
}

} // namespace
