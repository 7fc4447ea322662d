// Built-in copy of the system message table entries this module can meet.
#include "platform/os/SystemMessages.h"

#include <algorithm>
#include <iterator>

namespace cvn::os {

namespace {

struct SystemMessage {
    uint32_t id;
    const char* text;
};

// Sorted by id for the binary search below. Win32 errors by number, HRESULT-only codes by HRESULT.
constexpr SystemMessage kMessages[] = {
    {0, "The operation completed successfully.\r\n"},
    {1, "Incorrect function.\r\n"},
    {2, "The system cannot find the file specified.\r\n"},
    {3, "The system cannot find the path specified.\r\n"},
    {4, "The system cannot open the file.\r\n"},
    {5, "Access is denied.\r\n"},
    {6, "The handle is invalid.\r\n"},
    {8, "Not enough memory resources are available to process this command.\r\n"},
    {13, "The data is invalid.\r\n"},
    {14, "Not enough memory resources are available to complete this operation.\r\n"},
    {21, "The device is not ready.\r\n"},
    {31, "A device attached to the system is not functioning.\r\n"},
    {32, "The process cannot access the file because it is being used by another process.\r\n"},
    {33, "The process cannot access the file because another process has locked a portion of the file.\r\n"},
    {50, "The request is not supported.\r\n"},
    {80, "The file exists.\r\n"},
    {87, "The parameter is incorrect.\r\n"},
    {109, "The pipe has been ended.\r\n"},
    {112, "There is not enough space on the disk.\r\n"},
    {120, "This function is not supported on this system.\r\n"},
    {122, "The data area passed to a system call is too small.\r\n"},
    {126, "The specified module could not be found.\r\n"},
    {161, "The specified path is invalid.\r\n"},
    {170, "The requested resource is in use.\r\n"},
    {183, "Cannot create a file when that file already exists.\r\n"},
    {234, "More data is available.\r\n"},
    {258, "The wait operation timed out.\r\n"},
    {259, "No more data is available.\r\n"},
    {267, "The directory name is invalid.\r\n"},
    {995, "The I/O operation has been aborted because of either a thread exit or an application request.\r\n"},
    {997, "Overlapped I/O operation is in progress.\r\n"},
    {1004, "Invalid flags.\r\n"},
    {1008, "An attempt was made to reference a token that does not exist.\r\n"},
    {1062, "The service has not been started.\r\n"},
    {1117, "The request could not be performed because of an I/O device error.\r\n"},
    {1168, "Element not found.\r\n"},
    {1223, "The operation was canceled by the user.\r\n"},
    {1359, "An internal error occurred.\r\n"},
    {1460, "This operation returned because the timeout period expired.\r\n"},
    {1627, "Function failed during execution.\r\n"},
    {1702, "The binding handle is invalid.\r\n"},
    {1722, "The RPC server is unavailable.\r\n"},
    {1726, "The remote procedure call failed.\r\n"},
    {1739, "No network address is available to use to construct a universal unique identifier (UUID).\r\n"},
    {1812, "The specified image file did not contain a resource section.\r\n"},
    {1813, "The specified resource type cannot be found in the image file.\r\n"},
    {1818, "The remote procedure call was cancelled.\r\n"},
    {1824, "A UUID that is valid only on this computer has been allocated.\r\n"},
    {0x8000000A, "The data necessary to complete this operation is not yet available.\r\n"},
    {0x80004001, "Not implemented\r\n"},
    {0x80004002, "No such interface supported\r\n"},
    {0x80004003, "Invalid pointer\r\n"},
    {0x80004004, "Operation aborted\r\n"},
    {0x80004005, "Unspecified error\r\n"},
    {0x8000FFFF, "Catastrophic failure\r\n"},
    {0x80010105, "The server threw an exception.\r\n"},
    {0x80010108, "The object invoked has disconnected from its clients.\r\n"},
    {0x8001010E, "The application called an interface that was marshalled for a different thread.\r\n"},
    {0x80040110, "Class does not support aggregation (or class object is remote)\r\n"},
    {0x80040111, "ClassFactory cannot supply requested class\r\n"},
    {0x80040154, "Class not registered\r\n"},
    {0x800401F0, "CoInitialize has not been called.\r\n"},
};

constexpr bool IsSorted()
{
    for (size_t i = 1; i < std::size(kMessages); ++i)
        if (kMessages[i - 1].id >= kMessages[i].id) return false;
    return true;
}
static_assert(IsSorted(), "system messages must be sorted by id without duplicates");

}  // namespace

std::optional<std::string> FindSystemMessage(uint32_t messageId)
{
    const auto* end = std::end(kMessages);
    const auto* it = std::lower_bound(std::begin(kMessages), end, messageId,
                                      [](const SystemMessage& m, uint32_t id) { return m.id < id; });
    if (it == end || it->id != messageId) return std::nullopt;
    return std::string(it->text);
}

}  // namespace cvn::os
