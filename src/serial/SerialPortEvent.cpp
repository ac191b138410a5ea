#include "SerialPortEvent.h"

namespace
{
constexpr unsigned kEventBufferSize = 1024;
} // namespace

wxDEFINE_EVENT(EVT_SERIAL_PORT, SerialPortEvent);
wxDEFINE_EVENT(EVT_SERIAL_WRITTEN, wxThreadEvent);
wxDEFINE_EVENT(EVT_SERIAL_LOST, wxThreadEvent);
wxIMPLEMENT_DYNAMIC_CLASS(SerialPortEvent, wxEvent);

SerialBuffer::SerialBuffer(unsigned initialCapacity)
    : data(new unsigned char[initialCapacity]), capacity(initialCapacity), length(0), refCount(1)
{
}

SerialBuffer::~SerialBuffer()
{
    delete[] data;
}

SerialBuffer* SerialBuffer::Create(unsigned capacity)
{
    return new SerialBuffer(capacity);
}

void SerialBuffer::AddRef()
{
    refCount.fetch_add(1, std::memory_order_relaxed);
}

void SerialBuffer::Release()
{
    if (refCount.fetch_sub(1, std::memory_order_acq_rel) == 1)
        delete this;
}

SerialPortEvent::SerialPortEvent(int id)
    : wxEvent(id, EVT_SERIAL_PORT), m_buffer(SerialBuffer::Create(kEventBufferSize))
{
}

SerialPortEvent::SerialPortEvent(int id, SerialBuffer* buffer) : wxEvent(id, EVT_SERIAL_PORT), m_buffer(buffer)
{
    m_buffer->AddRef();
}

SerialPortEvent::SerialPortEvent(const SerialPortEvent& other)
    : wxEvent(other), m_text(other.m_text), m_buffer(other.m_buffer)
{
    m_buffer->AddRef();
}

SerialPortEvent::~SerialPortEvent()
{
    m_buffer->Release();
}

wxEvent* SerialPortEvent::Clone() const
{
    return new SerialPortEvent(*this);
}

void SerialPortEvent::SetBuffer(SerialBuffer* buffer)
{
    buffer->AddRef();
    m_buffer->Release();
    m_buffer = buffer;
}
