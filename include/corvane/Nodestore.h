/* The node library (libnodestore.so): trees of named, typed nodes with typed
 * attributes, reached through opaque handles, plus their text form.
 *
 * Thread safety: different trees may be used from different threads at once,
 * and one tree may be read (and its handles duplicated and closed) from
 * several threads at once. A tree that is being changed (names, types,
 * attributes, children) must not be used by any other thread meanwhile.
 *
 * Handles: every handle returned through an out-parameter belongs to the
 * caller and is closed once with QxnCloseNodeHandle. A node lives while a
 * handle to it, to any node of its tree, or its parent holds it.
 *
 * Every function returns an HRESULT: S_OK, or E_POINTER for a null required
 * pointer, E_INVALIDARG for a bad argument, 0x80070490 when a child or
 * attribute does not exist, 0x8007007A (with the needed size written back)
 * when a buffer is too small, 0x8007000D when a value cannot be converted. */
#ifndef CORVANE_NODESTORE_H
#define CORVANE_NODESTORE_H

#include <stddef.h>
#include <stdint.h>

#include "corvane/Platform.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct IQxNode IQxNode;
typedef struct QxnSerializationContext QxnSerializationContext;

/* Name kinds. */
#define QXN_NAME_OWN 0u
#define QXN_NAME_PATH 2u

/* Attribute value type codes. */
#define QXN_TYPE_STRING 0x0002u      /* UTF-16, size = (characters + 1) * 2 */
#define QXN_TYPE_INT32 0x0003u       /* 4 bytes */
#define QXN_TYPE_INT32_ALT 0x0004u   /* 4 bytes, a second 32-bit integer code */
#define QXN_TYPE_INT64 0x0006u       /* 8 bytes */
#define QXN_TYPE_BOOL 0x0007u        /* 1 byte */
#define QXN_TYPE_GUID 0x000Du        /* 16 bytes */
#define QXN_TYPE_ARRAY 0x0100u       /* flag: array of the base type */
#define QXN_TYPE_STRING_LIST 0x0102u /* each string followed by one NUL; empty list = size 0 */
#define QXN_TYPE_INT32_ARRAY 0x0103u /* 4 * count */
#define QXN_TYPE_GUID_ARRAY 0x010Du  /* 16 * count */

/* Serialization type 1 writes XML text wrapped in an <nr> element. */
#define QXN_SERIALIZE_TEXT 1u
/* Serialization flags: indent with CRLF line ends; write UTF-8 (else UTF-16LE). */
#define QXN_SERIALIZE_INDENT 0x001u
#define QXN_SERIALIZE_UTF8 0x100u

#define QXN_DEPTH_ALL 0x7FFFFFFF

/* Receives serialized bytes; returns S_OK or the failure that stops writing. */
typedef HRESULT (*QxnWriteCallback)(const void* bytes, uint32_t byteCount, void* context);

CV_EXPORT HRESULT QxnCreateNode(const char16_t* name, const char16_t* type, IQxNode** node);
CV_EXPORT HRESULT QxnCloneNode(IQxNode* node, int32_t depth, uint32_t flags, IQxNode** clone);
CV_EXPORT HRESULT QxnDuplicateNodeHandle(IQxNode* node, IQxNode** duplicate);
CV_EXPORT HRESULT QxnCloseNodeHandle(IQxNode* node);

/* size: in characters, terminating NUL included; on 0x8007007A it holds the needed size. */
CV_EXPORT HRESULT QxnGetNodeName(IQxNode* node, uint32_t nameKind, char16_t* buffer, uint32_t* size);
/* Kind 2 on a node without parent places it at the path, creating the ancestors. */
CV_EXPORT HRESULT QxnSetNodeName(IQxNode* node, uint32_t nameKind, const char16_t* name);
CV_EXPORT HRESULT QxnGetNodeType(IQxNode* node, char16_t* buffer, uint32_t* size);
CV_EXPORT HRESULT QxnSetNodeType(IQxNode* node, const char16_t* type);

CV_EXPORT HRESULT QxnGetChildCount(IQxNode* node, uint64_t* count);
CV_EXPORT HRESULT QxnGetChildByIndex(IQxNode* node, uint64_t index, IQxNode** child);
CV_EXPORT HRESULT QxnGetChildByName(IQxNode* node, const char16_t* name, IQxNode** child);
/* A root answers S_OK with a null parent. */
CV_EXPORT HRESULT QxnGetParent(IQxNode* node, IQxNode** parent);
/* Appends child; a child that has a parent is moved. An ancestor of parent is refused (E_INVALIDARG). */
CV_EXPORT HRESULT QxnAddChild(IQxNode* parent, IQxNode* child);
CV_EXPORT HRESULT QxnRemoveChild(IQxNode* parent, IQxNode* child);

/* requestedType null: the stored type. buffer null or *size too small: 0x8007007A with the
 * needed size in bytes. storedType (optional) receives the stored type code. */
CV_EXPORT HRESULT QxnGetAttribute(IQxNode* node, const char16_t* name, const uint16_t* requestedType, void* buffer,
                                  uint32_t* size, uint32_t* storedType);
CV_EXPORT HRESULT QxnSetAttribute(IQxNode* node, const char16_t* name, uint16_t type, const void* value,
                                  uint32_t size);
CV_EXPORT HRESULT QxnDeleteAttribute(IQxNode* node, const char16_t* name);
/* Names separated by NUL, in insertion order; size in characters, the final NUL included. */
CV_EXPORT HRESULT QxnGetAttributeNames(IQxNode* node, char16_t* buffer, uint32_t* size);

CV_EXPORT HRESULT QxnStartSerialization(uint32_t serializationType, uint32_t flags, QxnWriteCallback callback,
                                        void* callbackContext, QxnSerializationContext** context);
CV_EXPORT HRESULT QxnSerializeNodes(QxnSerializationContext* context, IQxNode* const* nodes, uint64_t count,
                                    int32_t depth);
CV_EXPORT HRESULT QxnFinalizeSerialization(QxnSerializationContext* context);
CV_EXPORT HRESULT QxnCloseSerializationContext(QxnSerializationContext* context);

/* Parses the text form (UTF-8, with or without the <nr> wrapper) into new root nodes.
 * When more than capacity nodes are found, *count holds the number and 0x8007007A is
 * returned with nothing created. Malformed text returns 0x8007000D and writes
 * "line L, column C: message" (UTF-8, NUL-terminated, cut to errorSize) to error. */
CV_EXPORT HRESULT QxnParseText(const char* text, uint64_t length, IQxNode** nodes, uint64_t capacity,
                               uint64_t* count, char* error, uint32_t errorSize);

#ifdef __cplusplus
}
#endif

#endif
