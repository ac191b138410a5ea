// A bounded soak: serial data streaming in, the writer streaming out, and a
// hundred clients coming and going at random, some of them never reading.
// SOAK_SECONDS sets its length (30 by default, at most 60).

#include "bridge/BridgeFixture.h"
#include "support/PatternStream.h"
#include "support/ProcessFacts.h"

#include <cstdlib>
#include <random>

using namespace std::chrono_literals;

namespace
{
constexpr std::uint64_t kDeviceRate = 256u << 10; // bytes a second from the device
constexpr std::uint64_t kWriterRate = 256u << 10; // bytes a second from the writer
constexpr int kStayers = 3;
constexpr int kChurners = 100;
// Growth allowed over the run: the backlogs of clients that do not read
// (1 MiB each at most) come and go; anything kept for good shows beyond this.
// AddressSanitizer holds freed memory back in a quarantine of up to 256 MiB.
#if defined(__SANITIZE_ADDRESS__)
constexpr long kMemoryGrowthLimitKb = 384 * 1024;
#else
constexpr long kMemoryGrowthLimitKb = 96 * 1024;
#endif

std::chrono::seconds SoakLength()
{
    const char* text = std::getenv("SOAK_SECONDS");
    const long seconds = text ? std::strtol(text, nullptr, 10) : 30;
    return std::chrono::seconds(std::clamp(seconds, 1L, 60L));
}

} // namespace

TEST_F(BridgeTest, SoakWithStreamsBothWaysAndClientsComingAndGoing)
{
    const auto length = SoakLength();
    const std::uint64_t deviceBytes = kDeviceRate * static_cast<std::uint64_t>(length.count());
    const std::uint64_t writerBytes = kWriterRate * static_cast<std::uint64_t>(length.count());
    StartBridge();
    const int descriptorsBefore = OpenDescriptors();
    const long memoryBefore = ResidentKb();

    TcpClient writer;
    ASSERT_TRUE(Admit(writer));
    std::vector<std::unique_ptr<TcpClient>> stayers(kStayers);
    std::vector<std::unique_ptr<PatternReader>> readers;
    for (auto& client : stayers)
    {
        client = std::make_unique<TcpClient>();
        ASSERT_TRUE(Admit(*client));
        readers.push_back(std::make_unique<PatternReader>(client->Fd(), deviceBytes));
    }
    // The writer hears the device like everybody else.
    readers.push_back(std::make_unique<PatternReader>(writer.Fd(), deviceBytes));
    PatternReader device(pty.Master(), writerBytes);
    PatternWriter deviceOutput(pty.Master(), deviceBytes, kDeviceRate);
    PatternWriter writerOutput(writer.Fd(), writerBytes, kWriterRate);

    std::mt19937 random(20261208);
    std::vector<std::unique_ptr<TcpClient>> churners;
    std::vector<bool> reading;
    int connections = 0;
    const auto end = std::chrono::steady_clock::now() + length;
    while (std::chrono::steady_clock::now() < end)
    {
        PumpOnce();
        const int action = static_cast<int>(random() % 100);
        if (action < 3 && connections < kChurners * 10)
        {
            // A new client; a third of them never read, some with small buffers.
            auto client = std::make_unique<TcpClient>();
            const bool reads = random() % 3 != 0;
            if (client->Connect(port, "127.0.0.1", reads ? 0 : 4096))
            {
                churners.push_back(std::move(client));
                reading.push_back(reads);
                ++connections;
            }
            if (churners.size() > static_cast<size_t>(kChurners))
            {
                churners.erase(churners.begin());
                reading.erase(reading.begin());
            }
        }
        else if (action < 5 && !churners.empty())
        {
            const size_t victim = random() % churners.size();
            if (random() % 2)
                churners[victim]->Reset();
            else
                churners[victim]->Close();
            churners.erase(churners.begin() + static_cast<std::ptrdiff_t>(victim));
            reading.erase(reading.begin() + static_cast<std::ptrdiff_t>(victim));
        }
        for (size_t i = 0; i < churners.size(); ++i)
        {
            if (reading[i])
                churners[i]->Drain();
        }
    }
    churners.clear();

    const bool complete =
        PumpUntil([&] { return AllEnded(readers) && (device.Done() || device.Failed()); }, 60s);
    ASSERT_TRUE(complete) << "the device has " << device.Received() << " of " << writerBytes;
    for (auto& reader : readers)
        EXPECT_FALSE(reader->Failed()) << "a client that stayed lost or reordered bytes";
    EXPECT_FALSE(device.Failed()) << "the writer's bytes reached the device altered";
    EXPECT_GT(connections, 0);
    RecordProperty("connections", connections);

    writer.Close();
    stayers.clear();
    ASSERT_TRUE(PumpUntil([&] { return bridge->GetClientCount() == 0; }, 30s));
    EXPECT_TRUE(PumpUntil([&] { return OpenDescriptors() <= descriptorsBefore; }))
        << OpenDescriptors() << " descriptors open, " << descriptorsBefore << " before";
    EXPECT_LT(ResidentKb() - memoryBefore, kMemoryGrowthLimitKb);
}
