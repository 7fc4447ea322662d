/* The node library (libnodestore.so): trees of named, typed nodes with typed
 * attributes, reached through opaque handles, plus their text form
 * (docs/text-form.md).
 *
 * Thread safety: different trees may be used from different threads at once,
 * and one tree may be read (and its handles duplicated and closed) from
 * several threads at once. A tree that is being changed (names, types,
 * attributes, children) must not be used by any other thread meanwhile;
 * moving a node with QxnAddChild changes both the tree it leaves and the one
 * it joins. A serialization context is used by one thread at a time.
 *
 * Handles: a handle is the node pointer itself; a duplicate is the same
 * pointer, counted once more. Every handle returned through an out-parameter
 * belongs to the caller and is closed once with QxnCloseNodeHandle. A tree
 * lives while any handle to any of its nodes is open (parents own their
 * children); closing the last one frees the whole tree.
 *
 * Strings are NUL-terminated UTF-16; names and types are cut at their first
 * NUL, and an empty name or type is the same as none.
 *
 * Every function returns an HRESULT: S_OK, or E_POINTER for a null required
 * pointer, E_INVALIDARG for a bad argument, 0x80070490 when a child or
 * attribute does not exist, 0x8007007A (with the needed size written back)
 * when a buffer is too small, 0x8007000D when a value cannot be converted,
 * E_OUTOFMEMORY, and E_UNEXPECTED for a call out of order. */
#ifndef CORVANE_NODESTORE_H
#define CORVANE_NODESTORE_H

#include <stddef.h>
#ifndef __cplusplus
#include <uchar.h>
#endif
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
#define QXN_TYPE_INT32_ALT 0x0004u   /* 4 bytes, a second (signed) 32-bit integer code */
#define QXN_TYPE_INT64 0x0006u       /* 8 bytes */
#define QXN_TYPE_BOOL 0x0007u        /* 1 byte; stored as 0 or 1 */
#define QXN_TYPE_GUID 0x000Du        /* 16 bytes */
#define QXN_TYPE_ARRAY 0x0100u       /* flag: array of the base type */
#define QXN_TYPE_STRING_LIST 0x0102u /* each string followed by one NUL; empty list = size 0 */
#define QXN_TYPE_INT32_ARRAY 0x0103u /* 4 * count */
#define QXN_TYPE_GUID_ARRAY 0x010Du  /* 16 * count */

/* Serialization type 1 writes XML text wrapped in an <nr> element: with
 * QXN_SERIALIZE_INDENT the first line is "<nr>" and the last "</nr>", each
 * element on its own line (two spaces per level, CRLF); without it, one line.
 * No XML declaration and no byte order mark. */
#define QXN_SERIALIZE_TEXT 1u
/* Serialization flags: indent with CRLF line ends; write UTF-8 (else UTF-16LE). */
#define QXN_SERIALIZE_INDENT 0x001u
#define QXN_SERIALIZE_UTF8 0x100u

#define QXN_DEPTH_ALL 0x7FFFFFFF

/* Receives serialized bytes (in chunks, as the text is written); returns S_OK or the failure that
 * stops writing, which the serialization functions then return. It must not throw. */
typedef HRESULT (*QxnWriteCallback)(const void* bytes, uint32_t byteCount, void* context);

/* A new standalone node; name and type may be null (none). */
CV_EXPORT HRESULT QxnCreateNode(const char16_t* name, const char16_t* type, IQxNode** node);
/* A deep copy as a new standalone tree: depth levels of children (0 the node alone,
 * QXN_DEPTH_ALL everything). flags must be 0; a negative depth or other flags: E_INVALIDARG. */
CV_EXPORT HRESULT QxnCloneNode(IQxNode* node, int32_t depth, uint32_t flags, IQxNode** clone);
CV_EXPORT HRESULT QxnDuplicateNodeHandle(IQxNode* node, IQxNode** duplicate);
/* Closes one handle; the last open handle into a tree frees the tree. */
CV_EXPORT HRESULT QxnCloseNodeHandle(IQxNode* node);

/* size: in characters, terminating NUL included (an unset name reads as "", size 1); a null
 * buffer or a smaller size gives 0x8007007A with the needed size. Kind 2 is the full path:
 * "\" + name for a root ("" for a nameless root, which adds nothing to its children's paths),
 * the parent's path + "\" + name below; a nameless standalone node reads "\". Other kinds:
 * E_INVALIDARG. */
CV_EXPORT HRESULT QxnGetNodeName(IQxNode* node, uint32_t nameKind, char16_t* buffer, uint32_t* size);
/* Kind 0 renames (null or "" removes the name). Kind 2 places a node without parent at an
 * absolute path ("\A\B\Name"): it is named after the last part and hangs below new untyped
 * ancestors named after the others, so that kind 2 then reads the same path. Kind 2 on a node
 * that has a parent, or with a path that is not absolute or has an empty part: E_INVALIDARG. */
CV_EXPORT HRESULT QxnSetNodeName(IQxNode* node, uint32_t nameKind, const char16_t* name);
/* As QxnGetNodeName kind 0. */
CV_EXPORT HRESULT QxnGetNodeType(IQxNode* node, char16_t* buffer, uint32_t* size);
/* Null or "" removes the type. */
CV_EXPORT HRESULT QxnSetNodeType(IQxNode* node, const char16_t* type);

CV_EXPORT HRESULT QxnGetChildCount(IQxNode* node, uint64_t* count);
/* 0x80070490 (and a null handle) past the last child. */
CV_EXPORT HRESULT QxnGetChildByIndex(IQxNode* node, uint64_t index, IQxNode** child);
/* The first child with that name; 0x80070490 (and a null handle) when there is none. */
CV_EXPORT HRESULT QxnGetChildByName(IQxNode* node, const char16_t* name, IQxNode** child);
/* A root answers S_OK with a null parent. */
CV_EXPORT HRESULT QxnGetParent(IQxNode* node, IQxNode** parent);
/* Appends child; a child that has a parent is moved (to the end, when parent is that parent
 * already), and a tree left without handles by the move is freed. parent itself or one of
 * its ancestors is refused (E_INVALIDARG). */
CV_EXPORT HRESULT QxnAddChild(IQxNode* parent, IQxNode* child);
/* Detaches child, which becomes a standalone tree (freed at once when no handle refers into
 * it); 0x80070490 when child is not a child of parent. */
CV_EXPORT HRESULT QxnRemoveChild(IQxNode* parent, IQxNode* child);

/* Reads an attribute in the type *requestedType (null: the stored type). size is in bytes: a
 * null buffer or a smaller size gives 0x8007007A with the needed size (an empty array or list
 * needs 0 and succeeds); a null size only asks whether the attribute exists (with a null
 * buffer). storedType (optional) receives the stored type code, 0 when absent. An absent
 * attribute: 0x80070490. Another type than the stored one is converted where a conversion
 * exists, else 0x8007000D; an unlisted type code: E_INVALIDARG. Conversions: any value to a
 * string, in its canonical text (integers in decimal, booleans "true"/"false", GUIDs braced
 * upper case, arrays and lists as items joined by "|", see docs/text-form.md), so equal values
 * give equal text; a string to the type it spells; 3, 4, 6 and 7 among each other (range
 * checked, booleans as 0 and 1, non-zero as true); a scalar to an array or list of one item;
 * arrays to string lists and string lists to arrays item by item. */
CV_EXPORT HRESULT QxnGetAttribute(IQxNode* node, const char16_t* name, const uint16_t* requestedType, void* buffer,
                                  uint32_t* size, uint32_t* storedType);
/* Creates the attribute at the end of the node's attributes, or overwrites it in its place.
 * Only the listed type codes, with sizes as listed (a string's size counts its NUL; it is
 * stored up to its first NUL), else E_INVALIDARG; an empty name: E_INVALIDARG. */
CV_EXPORT HRESULT QxnSetAttribute(IQxNode* node, const char16_t* name, uint16_t type, const void* value,
                                  uint32_t size);
/* 0x80070490 when absent. */
CV_EXPORT HRESULT QxnDeleteAttribute(IQxNode* node, const char16_t* name);
/* The names in insertion order, each followed by one NUL ("A\0B\0"; nothing, size 0, for no
 * attributes); size in characters, all NULs included. */
CV_EXPORT HRESULT QxnGetAttributeNames(IQxNode* node, char16_t* buffer, uint32_t* size);

/* Only type 1 and the two flags above, else E_INVALIDARG. Nothing is written yet. */
CV_EXPORT HRESULT QxnStartSerialization(uint32_t serializationType, uint32_t flags, QxnWriteCallback callback,
                                        void* callbackContext, QxnSerializationContext** context);
/* Writes the nodes (depth as QxnCloneNode) inside the one <nr> of the context; may be called
 * several times. After QxnFinalizeSerialization: E_UNEXPECTED. A callback failure is returned
 * here or by QxnFinalizeSerialization, and by every call after it. */
CV_EXPORT HRESULT QxnSerializeNodes(QxnSerializationContext* context, IQxNode* const* nodes, uint64_t count,
                                    int32_t depth);
/* Writes "</nr>" (and "<nr>" when no node was written) and hands the rest to the callback. */
CV_EXPORT HRESULT QxnFinalizeSerialization(QxnSerializationContext* context);
/* Frees the context, finalized or not. */
CV_EXPORT HRESULT QxnCloseSerializationContext(QxnSerializationContext* context);

/* Parses the text form (UTF-8, with or without the <nr> wrapper) into new root nodes, one
 * handle each in nodes, their number in *count. When more than capacity nodes are found,
 * *count holds the number and 0x8007007A is returned with nothing created. Malformed text
 * returns 0x8007000D with nothing created and writes "line L, column C: message" (UTF-8,
 * NUL-terminated, cut to errorSize at a character boundary) to error (optional). The reader of the text
 * form, for the host, the tests and request files. */
CV_EXPORT HRESULT QxnParseText(const char* text, uint64_t length, IQxNode** nodes, uint64_t capacity,
                               uint64_t* count, char* error, uint32_t errorSize);

#ifdef __cplusplus
}
#endif

#endif
