#include "config/Proxydata.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

// Every field is derived from one stamp, so a half-copied entry shows as a mismatch.
ProxyData Stamped(int stamp) {
    ProxyData entry;
    std::string tag = std::to_string(stamp);
    entry.Domain = "d" + tag + std::string(static_cast<std::size_t>(20 + stamp % 200), 'x');
    entry.SMTP = "s" + tag;
    entry.Method = stamp % 5;
    entry.User = "u" + tag + std::string(static_cast<std::size_t>(30 + stamp % 97), 'y');
    entry.Passwd = "p" + tag;
    entry.Port = stamp;
    return entry;
}

bool Consistent(const ProxyData& entry) {
    ProxyData expected = Stamped(entry.Port);
    expected.Index = entry.Index;
    return entry == expected;
}

TEST(ProxyDataListTest, EditsKeepIndexEqualToPosition) {
    ProxyDataList list;
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(list.Add(Stamped(10 + i)).Index, i);
    }
    ProxyData replacement = Stamped(99);
    replacement.Index = 1;
    list.Replace(replacement);
    EXPECT_EQ(list.At(1), replacement);

    list.Erase(0);
    ASSERT_EQ(list.Count(), 2);
    EXPECT_EQ(list.At(0).Port, 99);
    EXPECT_EQ(list.At(1).Port, 12);
    for (int k = 0; k < 2; ++k) {
        EXPECT_EQ(list.At(k).Index, k);
    }

    // Positions outside the list edit nothing.
    ProxyData outside = Stamped(5);
    outside.Index = 7;
    list.Replace(outside);
    list.Erase(-1);
    list.Erase(2);
    EXPECT_EQ(list.Count(), 2);
    EXPECT_EQ(list.At(2).Index, -1);
}

TEST(ProxyDataListTest, ScanTakesTheEarlierOfTwoSameDomains) {
    ProxyDataList list;
    ProxyData first = Stamped(1), second = Stamped(2);
    second.Domain = first.Domain;
    list.Add(first);
    list.Add(second);
    ProxyData found = Stamped(50);
    EXPECT_TRUE(list.Scan([&](const ProxyData& e) { return e.Domain == first.Domain; }, found));
    EXPECT_EQ(found.Port, 1);
    ProxyData untouched = Stamped(50);
    EXPECT_FALSE(list.Scan([](const ProxyData& e) { return e.Domain == "none"; }, untouched));
    EXPECT_EQ(untouched, Stamped(50));
}

TEST(ProxyDataListTest, ScanNeverSeesAHalfDoneEdit) {
    ProxyDataList list;
    for (int i = 0; i < 8; ++i) {
        list.Add(Stamped(i));
    }
    std::atomic<bool> done{false};
    std::atomic<int> faults{0};
    std::atomic<int> scans{0};
    auto reader = [&] {
        while (!done) {
            ++scans;
            int position = 0;
            ProxyData found;
            list.Scan(
                [&](const ProxyData& e) {
                    if (e.Index != position++ || !Consistent(e)) {
                        ++faults;
                    }
                    return e.Port % 7 == 3;
                },
                found);
            std::vector<ProxyData> copy = list.Snapshot();
            for (std::size_t k = 0; k < copy.size(); ++k) {
                if (copy[k].Index != static_cast<int>(k) || !Consistent(copy[k])) {
                    ++faults;
                }
            }
        }
    };
    std::thread r1(reader), r2(reader);
    // The edits go on for a while and until both readers have overlapped them many times.
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
    for (int round = 0; std::chrono::steady_clock::now() < until || scans < 4000; ++round) {
        int stamp = 100 + round;
        int count = list.Count();
        if (round % 3 == 0 || count < 2) {
            list.Add(Stamped(stamp));
        } else if (round % 3 == 1) {
            ProxyData e = Stamped(stamp);
            e.Index = round % count;
            list.Replace(e);
        } else {
            list.Erase(round % count);
        }
    }
    done = true;
    r1.join();
    r2.join();
    EXPECT_EQ(faults.load(), 0);
}

} // namespace
