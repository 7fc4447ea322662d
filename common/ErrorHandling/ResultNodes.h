// Errors written into and read from the result attributes of response nodes.
// Thread safety: touches only the given node and the calling thread's error object.
#pragma once

#include "common/ErrorHandling/HRX.h"

namespace cvn {

class QxNodePtr;

/// The attribute pair that holds a result code (32-bit) and its error text (string).
struct ResultAttributes {
    const char* code;
    const char* text;
};

/// This module's responses (and the meta info provider's answers).
inline constexpr ResultAttributes kResultCodeAttributes{"ResultCode", "ErrorSerialized"};
/// The queries processor's poll answers.
inline constexpr ResultAttributes kErrorResultAttributes{"Error_Result", "Error_Serialized"};
/// The database management gate's answers.
inline constexpr ResultAttributes kResponseResultAttributes{"ResponseResult", "ErrSerialized"};

/// Sets the code attribute; for a failure also sets the thread's error object and the text
/// attribute to its error text. Throws HRX when the node refuses the attributes.
void WriteResultToNode(const QxNodePtr& node, const HRX& result, ResultAttributes names = kResultCodeAttributes);

/// The result a node reports: S_OK when the code attribute is absent; for a failure with a text
/// attribute, the text becomes the thread's error object and the returned HRX holds it. Throw the
/// result with a checked assignment or ThrowIfFailed. Throws HRX when an attribute cannot be read.
HRX ReadResultFromNode(const QxNodePtr& node, ResultAttributes names = kResultCodeAttributes);

}  // namespace cvn
