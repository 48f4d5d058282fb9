// The simulated target's scripts and log, which the property test relies on
// to tell what the target did with every send.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "target/sim_target.h"

namespace {

// 64-bit FNV-1a, as the log names a send's bytes.
std::string HashOf(const std::vector<uint8_t>& bytes)
{
    uint64_t hash = 0xcbf29ce484222325ull;
    for (uint8_t byte : bytes)
        hash = (hash ^ byte) * 0x100000001b3ull;
    char text[17];
    snprintf(text, sizeof text, "%016llx", (unsigned long long)hash);
    return text;
}

const std::vector<uint8_t> kBlock = {0x00, 0x03, 0xAA, 0x11, 0xCC};  // a 3-byte payload

TEST(TargetScript, LinesAreReadOrRefused)
{
    TargetBehaviour behaviour;
    EXPECT_TRUE(ParseScriptLine("0 1 reply 3a delay 20 stale 5:11 trickle 300:f0", &behaviour));
    EXPECT_TRUE(ParseScriptLine("2 4 hangup 17", &behaviour));
    EXPECT_TRUE(ParseScriptLine("1 2 silent", &behaviour));
    EXPECT_TRUE(ParseScriptLine("# a comment", &behaviour));
    EXPECT_TRUE(ParseScriptLine("   ", &behaviour));
    ASSERT_EQ(behaviour.script.size(), 3u);
    const SendScript& reply = behaviour.script.at({0, 1});
    EXPECT_EQ(reply.action, SendScript::kAnswer);
    EXPECT_EQ(reply.reply, 0x3A);
    EXPECT_EQ(reply.delayMs, 20u);
    EXPECT_EQ(reply.stale, 5u);
    EXPECT_EQ(reply.staleByte, 0x11);
    EXPECT_EQ(reply.trickle, 300u);
    EXPECT_EQ(reply.trickleByte, 0xF0);
    EXPECT_EQ(behaviour.script.at({2, 4}).hangUpAt, 17u);
    EXPECT_EQ(behaviour.script.at({1, 2}).action, SendScript::kSilent);

    for (const char* bad : {"0 0 reply 11", "-1 1 reply 11", "0 1 reply 100", "0 1 reply", "0 1 hangup",
                            "0 1 shout", "0 1 reply 11 stale 5", "0 1 reply 11 delay", "0 1 reply 11 pause 3"})
        EXPECT_FALSE(ParseScriptLine(bad, &behaviour)) << bad;
}

TEST(TargetScript, EachSendGetsItsOwnAnswerAndIsLogged)
{
    TargetBehaviour behaviour;
    ASSERT_TRUE(ParseScriptLine("0 1 reply 15 stale 2:11", &behaviour));
    ASSERT_TRUE(ParseScriptLine("0 2 reply 11 delay 30 trickle 3:7e", &behaviour));
    ASSERT_TRUE(ParseScriptLine("1 1 silent", &behaviour));
    SimTarget target(behaviour);

    std::vector<TargetAnswer> answers;
    target.Receive(kBlock.data(), 2, &answers);  // a block may come in pieces
    EXPECT_TRUE(answers.empty());
    target.Receive(kBlock.data() + 2, 3, &answers);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].bytes, (std::vector<uint8_t>{0x15, 0x11, 0x11}));
    EXPECT_EQ(answers[0].delayMs, 0u);

    // Flattened for a link that keeps no timing: reply, then the trickle.
    std::vector<uint8_t> flat;
    target.Receive(kBlock.data(), kBlock.size(), &flat);
    EXPECT_EQ(flat, (std::vector<uint8_t>{0x11, 0x7E, 0x7E, 0x7E}));
    answers.clear();
    target.Receive(kBlock.data(), kBlock.size(), &answers);
    EXPECT_TRUE(answers.empty());

    EXPECT_EQ(target.BlocksAccepted(), 1);
    EXPECT_EQ(target.SendsPerBlock(), (std::vector<int>{2, 1}));
    const std::string hash = HashOf(kBlock);
    EXPECT_EQ(target.Log(), "block 0 send 1 size 5 hash " + hash + " reply 15\n" +
                                "block 0 send 2 size 5 hash " + hash + " reply 11\n" +
                                "block 1 send 1 size 5 hash " + hash + " silent\n");
}

TEST(TargetScript, HangUpAfterPartOfTheBlock)
{
    for (uint32_t at : {0u, 1u, 4u, 5u, 9u}) {
        TargetBehaviour behaviour;
        ASSERT_TRUE(ParseScriptLine("0 1 reply 15", &behaviour));
        ASSERT_TRUE(ParseScriptLine("0 2 hangup " + std::to_string(at), &behaviour));
        SimTarget target(behaviour);
        std::vector<TargetAnswer> answers;
        target.Receive(kBlock.data(), kBlock.size(), &answers);
        // The resend and what follows it come in one piece; the target takes
        // only what it read before the line went.
        std::vector<uint8_t> more = kBlock;
        more.insert(more.end(), kBlock.begin(), kBlock.end());
        target.Receive(more.data(), more.size(), &answers);
        EXPECT_TRUE(target.Vanished()) << at;
        EXPECT_EQ(answers.size(), 1u) << at;
        const uint32_t taken = std::min<uint32_t>(at, uint32_t(kBlock.size()));
        EXPECT_EQ(target.Log(), "block 0 send 1 size 5 hash " + HashOf(kBlock) + " reply 15\nblock 0 send 2 hangup " +
                                    std::to_string(taken) + " hash " +
                                    HashOf(std::vector<uint8_t>(kBlock.begin(), kBlock.begin() + taken)) + "\n")
            << at;
    }
}

TEST(TargetScript, BehaviourWithoutScriptIsLoggedToo)
{
    TargetBehaviour behaviour;
    behaviour.rejections[0] = 1;
    behaviour.staleAfterReply = 2;
    behaviour.vanishAfter = 1;
    SimTarget target(behaviour);
    std::vector<uint8_t> answer;
    for (int send = 0; send < 3; ++send)
        target.Receive(kBlock.data(), kBlock.size(), &answer);
    EXPECT_EQ(answer, (std::vector<uint8_t>{0x15, 0x11, 0x11, 0x11, 0x11, 0x11}));
    EXPECT_TRUE(target.Vanished());
    const std::string hash = HashOf(kBlock);
    EXPECT_EQ(target.Log(), "block 0 send 1 size 5 hash " + hash + " reply 15\nblock 0 send 2 size 5 hash " + hash +
                                " reply 11\nblock 1 send 1 hangup 0 hash cbf29ce484222325\n");
}

}  // namespace
