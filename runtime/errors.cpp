// Error codes: the table of names, the per-thread last-error slot, the
// message builder and the host's exception type.
#include "tessarc/runtime.h"

#include <string.h>

/* ---- Names ---- */

namespace {

struct ErrorName {
    uint16_t id; // upper 16 bits of an error code
    const char *name;
};

const ErrorName c_errorNames[] = {
    {0x0000, "OK"},
    {0x0001, "Feature unsupported"},
    {0x0002, "Invalid handle"},
    {0x0003, "Timeout"},
    {0x0004, "Not permitted"},
    {0x0005, "Would block"},
    {0x0006, "Out of memory"},
    {0x0100, "System error"},
    {0x0200, "Datatypes"},
    {0x0300, "Debug"},
    {0x0400, "Encryption"},
    {0x0500, "ADC"},
    {0x0501, "Invalid ADC channel"},
    {0x0600, "EEPROM"},
    {0x0700, "Flash"},
    {0x0800, "GPIO"},
    {0x0801, "Register configuration error"},
    {0x0802, "Communication error"},
    {0x0900, "I2C"},
    {0x0A00, "Interrupt Manager"},
    {0x0B00, "I/O Expander"},
    {0x0B01, "Communication error"},
    {0x0C00, "Reset"},
    {0x0D00, "SMBus"},
    {0x0E00, "SPI"},
    {0x0E01, "In use"},
    {0x0F00, "Serial"},
    {0x0F01, "Read error"},
    {0x0F02, "Write error"},
    {0x0F03, "Control error"},
    {0x1000, "Sockets"},
    {0x1001, "Not connected"},
    {0x1002, "Write error"},
    {0x1003, "Bind failed"},
    {0x1100, "Threads"},
    {0x1101, "Queue empty"},
    {0x1102, "Queue full"},
    {0x1103, "Condvar initialization failed"},
    {0x1104, "Mutex initialization failed"},
    {0x1200, "Time"},
    {0x1201, "Timer not found"},
    {0x1202, "Timer creation error"},
    {0x1203, "Timer destruction error"},
    {0x1204, "Time conversion failed"},
    {0x1300, "Utilities"},
    {0x1400, "Bluetooth"},
    {0x1401, "HCI not found"},
    {0x1402, "Failed to open socket"},
    {0x1403, "HCI inquiry failed"},
    {0x1404, "SDP connection failed"},
    {0x1405, "SDP search failed"},
    {0x1406, "Interface renaming failed"},
    {0x1407, "SDP browse access failed"},
    {0x1408, "SDP protocol access failed"},
    {0x1409, "SDP service registration failed"},
    {0x140A, "SDP service deregistration failed"},
    {0x140B, "Incorrect protocol for function"},
    {0x140C, "Failed to collect interface list"},
};

const char *errorName(uint32_t code)
{
    const uint16_t id = static_cast<uint16_t>(code >> 16);
    for (const ErrorName &e : c_errorNames)
        if (e.id == id)
            return e.name;
    return "No error description available";
}

// Each thread's last error. A thread-local needs no lazy allocation, so
// setting it cannot fail.
thread_local uint32_t t_lastError = 0;

} // namespace

/* ---- Last error ---- */

extern "C" int TQ_setLastError(uint32_t code)
{
    t_lastError = code;
    return 1;
}

extern "C" void TQ_setLastErrorSys(uint32_t code, uint32_t osError)
{
    TQ_setLastError((code & 0xFFFF0000u) | (osError & 0xFFFFu));
}

extern "C" uint32_t TQ_getLastError(void)
{
    return t_lastError;
}

/* ---- Messages ---- */

extern "C" char *TQ_errorToString(uint32_t code, char *buf, size_t size)
{
    const char *name = errorName(code);
    const unsigned long osError = code & 0xFFFFu;
    if (osError == 0) {
        snprintf(buf, size, "%s", name);
        return buf;
    }
    // The system's text goes only where the whole prefix fitted; the length
    // compared is the one snprintf would have written untruncated.
    const int n = snprintf(buf, size, "%s - OS error %lu: ", name, osError);
    if (n >= 0 && static_cast<size_t>(n) < size)
        TQ_systemErrorToString(static_cast<int>(osError), buf + n, size - n);
    return buf;
}

extern "C" int TQ_systemErrorToString(int osError, char *buf, size_t size)
{
    if (size == 0)
        return 0;
    buf[0] = '\0';
    // glibc makes up "Unknown error N" for numbers it has no entry for; its
    // table of descriptions tells the two apart without depending on the
    // language of the text.
    if (strerrordesc_np(osError) == nullptr)
        return 0;
    char text[256];
    // The GNU strerror_r returns the text, in `text` or in static storage.
    const char *s = strerror_r(osError, text, sizeof text);
    size_t len = strlen(s);
    if (len > size - 1)
        len = size - 1;
    memcpy(buf, s, len);
    buf[len] = '\0';
    return static_cast<int>(len);
}

/* ---- Tessarc::Error ---- */

namespace Tessarc {

Error::Error(const std::string &message) : m_message(message) {}

Error::Error(const Error &other) : std::exception(other), m_message(other.m_message) {}

Error &Error::operator=(const Error &other)
{
    std::exception::operator=(other);
    m_message = other.m_message;
    return *this;
}

Error::~Error() noexcept = default;

const char *Error::what() const noexcept
{
    return m_message.c_str();
}

} // namespace Tessarc
