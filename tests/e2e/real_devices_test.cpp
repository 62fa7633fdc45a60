// Every class-1 descriptor dump of a real device beside the project: the driver either starts
// it or refuses it with an error, and in both cases removal leaves nothing behind.
#include "e2e_rig.h"

#include "plat_debug.h"

namespace e2e
{
namespace
{

using RealDeviceE2e = DriverRig;

TEST_F(RealDeviceE2e, EveryClass1DumpStartsOrIsRefusedCleanly)
{
    const std::vector<std::string> dumps = RealClass1Dumps();
    if (dumps.empty())
        GTEST_SKIP() << "no class-1 descriptor dumps in ../shared/real-devices";
    int started = 0;
    for (const std::string& dump : dumps)
    {
        SCOPED_TRACE(dump);
        LoadOn(dump);
        const NTSTATUS status = Start();
        if (NT_SUCCESS(status))
        {
            ++started;
            // A started device shows a readable filter whose pins all lead somewhere.
            const ExpectedTopology filter = TopologyFromFilter(Panel());
            EXPECT_FALSE(filter.Pins.empty());
            EXPECT_FALSE(filter.Paths.empty());
            EXPECT_EQ(EndpointNames().size(), StreamingInterfaceCount(Profile()));
        }
        else
        {
            EXPECT_NE(status, STATUS_PENDING);
            std::printf("[ refused  ] %s: 0x%08X\n", dump.c_str(), unsigned(status));
        }
        RemoveAndCheck();
        SetUp();
    }
    std::printf("[ started  ] %d of %zu class-1 dumps\n", started, dumps.size());
}

} // namespace
} // namespace e2e
