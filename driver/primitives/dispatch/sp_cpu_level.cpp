// Processor-level selection: CPUID answers -> processor-type code -> level column.
#include "sp_cpu_level.h"

#include <cpuid.h>
#include <stddef.h>

int32_t SpCpuLevel = 0;

namespace
{

// Feature bits of CPUID leaf 1.
constexpr uint32_t kEcxSse3 = 1u << 0;
constexpr uint32_t kEcxSsse3 = 1u << 9;
constexpr uint32_t kEcxSse41 = 1u << 19;
constexpr uint32_t kEcxSse42 = 1u << 20;
constexpr uint32_t kEdxSse = 1u << 25;
constexpr uint32_t kEdxSse2 = 1u << 26;
// Leaf 0x80000001.
constexpr uint32_t kEdxLongMode = 1u << 29;

struct SpCpuTypeLevel
{
    int32_t CpuType;
    int32_t Level;
};

// Codes 32 and 37 are never detected on the processors the rules know, but a host may name
// them, so both tables keep them.

// Automatic selection: code -> level; codes not listed select level 0.
// clang-format off
const SpCpuTypeLevel kSpAutoLevels[] = {
    // code                 level
    {32,                    1},
    {SpCpuTypeSse3,         1},
    {SpCpuTypeCore2Dual,    2},
    {SpCpuTypeCore2Quad,    2},
    {SpCpuTypeAtom,         2},
    {SpCpuTypeSsse3,        2},
    {SpCpuTypeNehalem,      3},
    {37,                    3},
    {SpCpuTypeSse41,        3},
    {SpCpuTypeSse42,        3},
};
// clang-format on

// Forced selection: code -> level; codes not listed are refused. Code 66 is absent on
// purpose: a host cannot force the SSE3 column by that code, only the detection selects it.
// clang-format off
const SpCpuTypeLevel kSpForcedLevels[] = {
    // code                 level
    {-1,                    0},
    {SpCpuTypeNone,         0},
    {SpCpuTypeLongMode,     0},
    {32,                    1},
    {SpCpuTypeCore2Dual,    2},
    {SpCpuTypeCore2Quad,    2},
    {SpCpuTypeAtom,         2},
    {SpCpuTypeSsse3,        2},
    {SpCpuTypeNehalem,      3},
    {37,                    3},
    {SpCpuTypeSse41,        3},
    {SpCpuTypeSse42,        3},
};
// clang-format on

template <size_t N> const SpCpuTypeLevel* SpFindCpuType(const SpCpuTypeLevel (&table)[N], int32_t cpuType)
{
    for (const SpCpuTypeLevel& row : table)
    {
        if (row.CpuType == cpuType)
        {
            return &row;
        }
    }
    return nullptr;
}

void SpCpuIdInstruction(uint32_t regs[4], uint32_t leaf, uint32_t subLeaf)
{
    unsigned int a, b, c, d;
    __cpuid_count(leaf, subLeaf, a, b, c, d);
    regs[0] = a;
    regs[1] = b;
    regs[2] = c;
    regs[3] = d;
}

SpCpuIdFn g_pfnSpCpuId = SpCpuIdInstruction;

struct SpCpuSignature
{
    uint32_t MaxLeaf;
    uint32_t Family;
    uint32_t Model;
    uint32_t FeaturesEcx;
    uint32_t FeaturesEdx;
    bool LongMode;
    uint32_t CoresPerPackage;
};

SpCpuSignature SpReadSignature()
{
    SpCpuSignature sig = {};
    uint32_t regs[4];
    SpCpuId(regs, 0, 0);
    sig.MaxLeaf = regs[0];

    SpCpuId(regs, 1, 0);
    const uint32_t signature = regs[0];
    sig.FeaturesEcx = regs[2];
    sig.FeaturesEdx = regs[3];
    sig.Family = (signature >> 8) & 0xF;
    sig.Model = (signature >> 4) & 0xF;
    if (sig.Family == 15 || sig.Family == 6)
    {
        sig.Model += ((signature >> 16) & 0xF) << 4;
    }
    if (sig.Family == 15)
    {
        sig.Family += (signature >> 20) & 0xFF;
    }

    SpCpuId(regs, 0x80000000u, 0);
    if ((regs[0] & 0x7FFFFFFFu) != 0)
    {
        SpCpuId(regs, 0x80000001u, 0);
        sig.LongMode = (regs[3] & kEdxLongMode) != 0;
    }

    sig.CoresPerPackage = 1;
    if (sig.MaxLeaf >= 4)
    {
        SpCpuId(regs, 4, 0);
        sig.CoresPerPackage = (regs[0] >> 26) + 1;
    }
    return sig;
}

// The models the recognised vendor is known by; 0 when none matches.
int32_t SpIntelModelType(const SpCpuSignature& sig)
{
    if (sig.Family == 15)
    {
        return SpCpuTypeSse3;
    }
    if (sig.Family != 6)
    {
        return SpCpuTypeNone;
    }
    if (sig.Model == 15 && (sig.FeaturesEcx & kEcxSsse3))
    {
        return sig.CoresPerPackage < 3 ? SpCpuTypeCore2Dual : SpCpuTypeCore2Quad;
    }
    if (sig.Model == 23 && (sig.FeaturesEcx & kEcxSse41))
    {
        return SpCpuTypeSse41;
    }
    if (sig.Model == 26 && (sig.FeaturesEcx & kEcxSse42))
    {
        return SpCpuTypeNehalem;
    }
    if (sig.Model == 28 && (sig.FeaturesEcx & kEcxSsse3))
    {
        return SpCpuTypeAtom;
    }
    return SpCpuTypeNone;
}

int32_t SpFeatureType(const SpCpuSignature& sig)
{
    if (sig.FeaturesEcx & kEcxSse42)
        return SpCpuTypeSse42;
    if (sig.FeaturesEcx & kEcxSse41)
        return SpCpuTypeSse41;
    if (sig.FeaturesEcx & kEcxSsse3)
        return SpCpuTypeSsse3;
    if (sig.FeaturesEcx & kEcxSse3)
        return SpCpuTypeSse3;
    if (sig.FeaturesEdx & kEdxSse2)
        return SpCpuTypeSse2;
    if (sig.FeaturesEdx & kEdxSse)
        return SpCpuTypeSse;
    if (sig.LongMode)
        return SpCpuTypeLongMode;
    return SpCpuTypeNone;
}

} // namespace

void SpCpuId(uint32_t regs[4], uint32_t leaf, uint32_t subLeaf)
{
    g_pfnSpCpuId(regs, leaf, subLeaf);
}

int32_t SpHasCpuId()
{
    return 1;
}

bool SpIsGenuineIntel()
{
    uint32_t regs[4];
    SpCpuId(regs, 0, 0);
    // The vendor string is spread over EBX, EDX, ECX in that order.
    return regs[1] == 0x756E6547u     // "Genu"
           && regs[3] == 0x49656E69u  // "ineI"
           && regs[2] == 0x6C65746Eu; // "ntel"
}

int32_t SpDetectCpuType()
{
    if (!SpHasCpuId())
    {
        return SpCpuTypeNone;
    }
    const SpCpuSignature sig = SpReadSignature();
    if (SpIsGenuineIntel())
    {
        const int32_t modelType = SpIntelModelType(sig);
        if (modelType != SpCpuTypeNone)
        {
            return modelType;
        }
    }
    return SpFeatureType(sig);
}

SpStatus SpInitCpuLevel()
{
    const int32_t cpuType = SpDetectCpuType();
    const SpCpuTypeLevel* row = SpFindCpuType(kSpAutoLevels, cpuType);
    SpCpuLevel = row != nullptr ? row->Level : 0;
    if (!SpHasCpuId() || !SpIsGenuineIntel())
    {
        return SpWarnCpuNotRecognised;
    }
    return SpOk;
}

SpStatus SpInitCpuLevelForType(int32_t cpuType)
{
    const SpCpuTypeLevel* row = SpFindCpuType(kSpForcedLevels, cpuType);
    if (row == nullptr)
    {
        return SpErrCpuType;
    }
    SpCpuLevel = row->Level;
    return SpOk;
}

SpCpuIdFn SpSetCpuIdForTest(SpCpuIdFn cpuId)
{
    const SpCpuIdFn previous = g_pfnSpCpuId;
    g_pfnSpCpuId = cpuId != nullptr ? cpuId : SpCpuIdInstruction;
    return previous;
}

int32_t SpForceCpuLevelForTest(int32_t level)
{
    const int32_t previous = SpCpuLevel;
    SpCpuLevel = level;
    return previous;
}
