#include "serial/SerialPortEvent.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

TEST(SerialPortEvent, ANewEventOwnsAnEmptyBuffer)
{
    SerialPortEvent event(5);
    EXPECT_EQ(event.GetId(), 5);
    EXPECT_EQ(event.GetEventType(), EVT_SERIAL_PORT);
    EXPECT_EQ(event.GetBuffer()->capacity, 1024u);
    EXPECT_EQ(event.GetLength(), 0u);
    EXPECT_EQ(event.GetBuffer()->refCount.load(), 1);
}

TEST(SerialPortEvent, CloneSharesTheBytesAndTheLastHolderFreesThem)
{
    SerialBuffer* chunk = SerialBuffer::Create(8);
    std::memcpy(chunk->data, "abc", 3);
    chunk->length = 3;
    std::unique_ptr<wxEvent> clone;
    {
        SerialPortEvent event(1, chunk);
        event.SetText("w=0,r=3");
        EXPECT_EQ(chunk->refCount.load(), 2);
        clone.reset(event.Clone());
        EXPECT_EQ(chunk->refCount.load(), 3);
    }
    auto* copy = static_cast<SerialPortEvent*>(clone.get());
    EXPECT_EQ(copy->GetBuffer(), chunk);
    EXPECT_EQ(copy->GetText(), "w=0,r=3");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(copy->GetData()), copy->GetLength()), "abc");
    EXPECT_EQ(chunk->refCount.load(), 2);
    clone.reset();
    EXPECT_EQ(chunk->refCount.load(), 1);
    chunk->Release();
}

TEST(SerialPortEvent, DynamicClassCreatesAnEvent)
{
    std::unique_ptr<wxObject> made(wxCreateDynamicObject("SerialPortEvent"));
    ASSERT_NE(made, nullptr);
    EXPECT_NE(dynamic_cast<SerialPortEvent*>(made.get()), nullptr);
}
