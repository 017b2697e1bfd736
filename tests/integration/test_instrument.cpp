// The emulated instrument against the real server: program message execution,
// the error queue, the status registers, and the status byte as the
// asynchronous channel reports it (status query, service requests).
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/HislipClient.h"
#include "tests/support/ServerProcess.h"
#include "tests/support/SharedServerTest.h"

namespace tarvos::test {
namespace {

const char kIdentity[] = "Brennic,Tarvos,4471.2209k05,V1.00\n";
const char kNoError[] = "0,\"No error\"\n";

class InstrumentTest : public SharedServerTest<InstrumentTest> {
protected:
    // The answer to a query, or a description of what went wrong.
    std::string Ask(const std::string& text)
    {
        std::string answer;
        if (!s_.Query(text, answer)) return "<" + s_.lastError + ">";
        return answer;
    }
    // Sends a program message that must not be answered.
    void Silent(const std::string& text)
    {
        s_.Write(text);
        EXPECT_TRUE(s_.sync.ExpectSilence(300)) << "answered: " << text;
    }
    // Next message on the asynchronous channel must be a service request.
    uint8_t ServiceRequest()
    {
        Message m;
        EXPECT_TRUE(s_.async.ReceiveType(m, Msg::AsyncServiceRequest, 3000)) << Describe(m);
        return m.control;
    }
    uint8_t Status(uint8_t control = 0)
    {
        uint8_t status = 0xFF;
        EXPECT_TRUE(s_.StatusQuery(status, control)) << s_.lastError;
        return status;
    }
    static bool LoggedAgain(const std::string& text, size_t before, int ms = 2000)
    {
        return server_->WaitForStderr(text, ms, before + 1);
    }

};


TEST_F(InstrumentTest, QueriesAnswerOncePerProgramMessage)
{
    std::vector<Message> parts;
    std::string answer;
    s_.Write("*IDN?\n");
    ASSERT_TRUE(s_.ReadResponse(answer, &parts)) << s_.lastError;
    EXPECT_EQ(answer, kIdentity);
    ASSERT_EQ(parts.size(), 1u);
    EXPECT_EQ(parts[0].param, kFirstMessageId);

    parts.clear();
    s_.Write("*IDN?;*OPC?\n");
    ASSERT_TRUE(s_.ReadResponse(answer, &parts)) << s_.lastError;
    EXPECT_EQ(answer, "Brennic,Tarvos,4471.2209k05,V1.00;1\n");
    EXPECT_EQ(parts.size(), 1u);

    // The end of the DataEnd ends the program message too.
    EXPECT_EQ(Ask("*IDN?"), kIdentity);
    EXPECT_EQ(Ask("*idn?\n"), kIdentity);
    EXPECT_EQ(Ask("  *Idn? \n"), kIdentity);
    // An answer collected before empty units is still sent.
    EXPECT_EQ(Ask("*OPC?;;\n"), "1\n");
    EXPECT_EQ(Ask("*CLS;*IDN?\n"), kIdentity);
    EXPECT_TRUE(s_.sync.ExpectSilence(200));
}

TEST_F(InstrumentTest, UnknownHeaderQueuesErrorAndDropsTheMessage)
{
    // Units before the unknown header lose their answers, units after it never run.
    Silent("*IDN?;foo;*OPC?\n");
    Silent("*IDN?\r\n");
    // The end of a DataEnd after an unknown header keeps the next message whole.
    Silent("BAR");
    EXPECT_EQ(Ask("*OPC?\n"), "1\n");

    EXPECT_EQ(Ask("SYST:ERR?\n"), "-113,\"Undefined header;FOO\"\n");
    EXPECT_EQ(Ask("SYST:ERR?;:syst:err?\n"),
              "-113,\"Undefined header;*IDN?\r\";-113,\"Undefined header;BAR\"\n");
    EXPECT_EQ(Ask("ERR?\n"), kNoError);
}

TEST_F(InstrumentTest, EmptyUnitsDoNothing)
{
    Silent("\n");
    Silent(";\n");
    Silent(" ;; \n");
    EXPECT_EQ(Ask("SYSTEM:ERROR?\n"), kNoError);
}

TEST_F(InstrumentTest, StrayParameterIsRejectedWithMinus115)
{
    const std::string line = "unexpected parameter or invalid program terminator '0x31'!";
    const size_t before = Count(line);
    Silent("*IDN? 1;*OPC?\n");
    EXPECT_TRUE(LoggedAgain(line, before));
    EXPECT_EQ(Ask("SYST:ERR?\n"), "-115,\"Unexpected number of parameters\"\n");
    EXPECT_EQ(Ask("SYST:ERR?\n"), kNoError);
}

TEST_F(InstrumentTest, MissingParametersAreReportedAndTheSessionGoesOn)
{
    Silent("*SRE\n");
    Silent("MMEM:DATA\n");
    Silent("MMEM:DATA 'x'\n");
    EXPECT_EQ(Ask("*SRE?\n"), "0\n");
    EXPECT_EQ(Ask("SYST:ERR?\n"), "-109,\"Missing parameter;numeric data was expected\"\n");
    EXPECT_EQ(Ask("SYST:ERR?\n"), "-109,\"Missing parameter;a string was expected\"\n");
    EXPECT_EQ(Ask("SYST:ERR?\n"), "-109,\"Missing parameter;a block was expected\"\n");
    EXPECT_EQ(Ask("SYST:ERR?\n"), kNoError);
}

TEST_F(InstrumentTest, RejectedParametersEndTheSession)
{
    const std::string closed = "Error: Data channel closed with error";
    for (const std::string bad : {"*SRE -1\n", "*SRE;*IDN?\n", "*ESE 12a\n", "MMEM:DATA noquote,#11x\n"}) {
        if (!s_.sync.IsOpen()) {
            ASSERT_TRUE(s_.Open(server_->Port())) << s_.lastError;
        }
        const size_t before = Count(closed);
        s_.Write(bad);
        EXPECT_TRUE(s_.sync.WaitClosed(3000)) << bad;
        EXPECT_TRUE(LoggedAgain(closed, before)) << bad;
        s_.Close();
    }
}

TEST_F(InstrumentTest, RegistersStartAtZeroAndKeepTheLowByte)
{
    EXPECT_EQ(Ask("*STB?;*ESR?;*SRE?;*ESE?\n"), "0;0;0;0\n");
    s_.Write("*SRE 4294967297\n");
    EXPECT_EQ(Ask("*SRE?\n"), "1\n");
    s_.Write("*SRE 300\n");
    EXPECT_EQ(Ask("*SRE?\n"), "44\n");
    s_.Write("*ESE 258\n");
    EXPECT_EQ(Ask("*ESE?\n"), "2\n");
    EXPECT_EQ(Ask("SYST:ERR?\n"), kNoError);
}

TEST_F(InstrumentTest, OperationCompleteSetsEventStatus)
{
    // With ese 0, *OPC leaves everything clear.
    s_.Write("*OPC\n");
    EXPECT_EQ(Ask("*STB?;*ESR?\n"), "0;0\n");

    s_.Write("*ESE 1;*OPC\n");
    EXPECT_EQ(Ask("*STB?\n"), "32\n");
    EXPECT_EQ(Ask("*ESR?\n"), "1\n");
    EXPECT_EQ(Ask("*ESR?\n"), "0\n");
    EXPECT_EQ(Ask("*STB?\n"), "0\n");

    s_.Write("*OPC\n");
    s_.Write("*CLS\n");
    EXPECT_EQ(Ask("*STB?;*ESR?;*ESE?\n"), "0;0;1\n");
}

TEST_F(InstrumentTest, ErrorQueueSetsStatusBit2UntilEmptied)
{
    Silent("NOPE\n");
    EXPECT_EQ(Ask("*STB?\n"), "4\n");
    EXPECT_EQ(Ask("SYST:ERR?\n"), "-113,\"Undefined header;NOPE\"\n");
    EXPECT_EQ(Ask("*STB?\n"), "0\n");

    Silent("ONE\n");
    Silent("TWO\n");
    EXPECT_EQ(Ask("*STB?\n"), "4\n");
    s_.Write("*CLS\n");
    EXPECT_EQ(Ask("SYST:ERR?\n"), kNoError);
    EXPECT_EQ(Ask("*STB?\n"), "0\n");
}

TEST_F(InstrumentTest, FullErrorQueueEndsInOverflowEntry)
{
    for (int i = 1; i <= 105; ++i) s_.Write("E" + std::to_string(i) + "\n");
    for (int i = 1; i <= 99; ++i) {
        ASSERT_EQ(Ask("SYST:ERR?\n"), "-113,\"Undefined header;E" + std::to_string(i) + "\"\n") << i;
    }
    EXPECT_EQ(Ask("SYST:ERR?\n"), "-350,\"Queue overflow\"\n");
    EXPECT_EQ(Ask("SYST:ERR?\n"), kNoError);
}

TEST_F(InstrumentTest, FirstResponseRaisesServiceRequestWhenMavEnabled)
{
    s_.Write("*SRE 16\n");
    EXPECT_EQ(Ask("*IDN?\n"), kIdentity);
    EXPECT_EQ(ServiceRequest(), 0x50);
    EXPECT_EQ(Ask("*OPC?\n"), "1\n");
    EXPECT_TRUE(s_.async.ExpectSilence(300));
    EXPECT_EQ(Status(), 0x50);
    EXPECT_EQ(Status(), 0x10);
}

TEST_F(InstrumentTest, RmtDeliveredOnStatusQueryClearsMav)
{
    EXPECT_EQ(Ask("*IDN?\n"), kIdentity);
    EXPECT_EQ(Status(), 0x10);
    EXPECT_EQ(Status(1), 0x00);
    // The client has acknowledged the answer: plain input is no interruption.
    s_.rmtPending = false;
    EXPECT_EQ(Ask("*OPC?\n"), "1\n");
    EXPECT_EQ(Ask("SYST:ERR?\n"), kNoError);
    EXPECT_TRUE(s_.async.ExpectSilence(100));
}

TEST_F(InstrumentTest, StatusQueryOvertakingDataReportsNoMav)
{
    const std::string line = "INFO: AsyncStatusQuery has overtaken a Data message";
    EXPECT_EQ(Ask("*IDN?\n"), kIdentity);
    EXPECT_EQ(Status(), 0x10);
    const size_t before = Count(line);
    ASSERT_TRUE(s_.async.Send(Msg::AsyncStatusQuery, 0, s_.nextMessageId));
    Message m;
    ASSERT_TRUE(s_.async.ReceiveType(m, Msg::AsyncStatusResponse, 3000)) << Describe(m);
    EXPECT_EQ(m.control, 0x00);
    EXPECT_TRUE(LoggedAgain(line, before));
}

TEST_F(InstrumentTest, ErrorIntoEmptyQueueRaisesOneServiceRequest)
{
    s_.Write("*SRE 4\n");
    EXPECT_TRUE(s_.async.ExpectSilence(200));
    Silent("BAD\n");
    EXPECT_EQ(ServiceRequest(), 0x44);
    Silent("WORSE\n");
    EXPECT_TRUE(s_.async.ExpectSilence(300));
    EXPECT_EQ(Status(), 0x44);
    EXPECT_EQ(Status(), 0x04);
}

TEST_F(InstrumentTest, EventSummaryRaisesServiceRequest)
{
    s_.Write("*SRE 32;*ESE 1;*OPC\n");
    EXPECT_EQ(ServiceRequest(), 0x60);
    s_.Write("*OPC\n");
    EXPECT_TRUE(s_.async.ExpectSilence(300));
    EXPECT_EQ(Status(), 0x60);
}

TEST_F(InstrumentTest, RemoteLocalIsAlwaysAcknowledgedWithZero)
{
    for (uint8_t request = 0; request <= 7; ++request) {
        const std::string line = "INFO: Remote/Local with ID " + std::to_string(request) + ":";
        const size_t before = Count(line);
        uint8_t control = 0xFF;
        ASSERT_TRUE(s_.RemoteLocal(request, &control)) << s_.lastError;
        EXPECT_EQ(control, 0) << int {request};
        EXPECT_TRUE(LoggedAgain(line, before));
    }
    EXPECT_EQ(Ask("*IDN?\n"), kIdentity);
}

TEST_F(InstrumentTest, TriggerTakesPartInMessageIdAndRmtRules)
{
    const std::string warning = "WARNING: unexpected MessageID";
    const size_t warned = Count(warning);
    s_.Trigger();
    EXPECT_EQ(Ask("*IDN?\n"), kIdentity);
    EXPECT_EQ(Count(warning), warned);

    // A Trigger that does not acknowledge the answer interrupts it.
    s_.rmtPending = false;
    const uint32_t id = s_.Trigger();
    Message m;
    ASSERT_TRUE(s_.async.ReceiveType(m, Msg::AsyncInterrupted, 3000)) << Describe(m);
    EXPECT_EQ(m.param, id);
    ASSERT_TRUE(s_.sync.ReceiveType(m, Msg::Interrupted, 3000)) << Describe(m);
    EXPECT_EQ(m.param, id);
    EXPECT_EQ(Ask("SYST:ERR?\n"), "-410,\"Query INTERRUPTED\"\n");

    // Out of sequence: warned about, and the sequence goes on from it.
    s_.nextMessageId += 10;
    s_.Trigger(true);
    EXPECT_TRUE(LoggedAgain(warning, warned));
    EXPECT_EQ(Ask("*OPC?\n"), "1\n");
    EXPECT_EQ(Count(warning), warned + 1);
}

}  // namespace
}  // namespace tarvos::test
