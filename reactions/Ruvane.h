// Ruvane: the reaction plug-in. A host (a monitoring system's reaction
// manager) loads the library and calls its exports to carry out protective
// reactions on this gateway and to take them back. Each reaction X has four
// plain exports:
//   Service_Reaction_<X>_PreDo      describes the reaction to the host
//   Service_Reaction_<X>_Do         carries it out
//   Service_Reaction_<X>_Undo       reverses it (its token is what Do returned)
//   Wizard_Reaction_<X>_DataVerify  checks the text the host's user entered
// for X one of Update, Shutdown, BlockAllAttachments, BlockNamedAttachments,
// BlockTypedAttachments, IncreaseScanSettings, StopInboundMail: 28 exports,
// and the library exports nothing else. They are C functions with the C
// calling convention, under their undecorated names on both targets.
//
// The plug-in keeps no state: every export works on its arguments alone, so a
// host may call them from several threads. Loading and unloading the library
// does no work. Nothing is logged; results are the codes below.
//
// Layouts. The records below are the host's; on the 32-bit Windows target
// every field is 32 bits wide at the offset given. On a 64-bit target each
// field that holds an address (and each reserved field among them) is as wide
// as an address, so the offsets grow accordingly; numbers and offsets inside
// a record stay 32 bits. Static assertions below hold both.
#ifndef VANTRY_REACTIONS_RUVANE_H
#define VANTRY_REACTIONS_RUVANE_H

#include "platform/win32.h"

#include <cstddef>

// Result codes of the exports.
const DWORD REACTION_FAILURE = 0;                // the work itself failed
const DWORD REACTION_SUCCESS = 1;                // done
const DWORD REACTION_BAD_ARGUMENT = 0x80000001;  // missing or empty argument, zero
                                                 // token, refusal by the host
const DWORD REACTION_WRONG_CONTEXT = 0x80000002; // context of another format

// The format stamp every context carries in its first field.
const DWORD REACTION_CONTEXT_STAMP = 0x02030151;

// A record handle of the host's store, and what an export returns: 32 bits on
// the Windows target, an address's width on a 64-bit one. A host's handles
// never take the values of the two refusal codes.
typedef DWORD_PTR REACTION_HANDLE;
typedef DWORD_PTR REACTION_RESULT;

// The host's store of undo records and its reaction bracket: a table of
// virtual operations in this slot order. The plug-in calls slots 0, 1, 3, 6,
// 7 and 8; slots 2, 4 and 5 belong to the host.
class ReactionStore {
public:
    // 0: a new record of size bytes, zero-filled, kept by the host; 0 on
    // failure. The plug-in passes kind 0.
    virtual REACTION_HANDLE CreateRecord(int kind, int size) = 0;
    // 1: discards the record.
    virtual void DeleteRecord(REACTION_HANDLE record) = 0;
    virtual void HostSlot2() = 0;
    // 3: the record's bytes, writable until UnlockRecord; null on failure
    // (among others, a handle the host does not know).
    virtual void* LockRecord(REACTION_HANDLE record) = 0;
    virtual void HostSlot4() = 0;
    virtual void HostSlot5() = 0;
    // 6: ends the access begun by LockRecord; what was written stays until
    // the record is locked again, also in a later process.
    virtual void UnlockRecord(REACTION_HANDLE record) = 0;
    // 7: asked before the reaction of that name is carried out; nonzero lets
    // it proceed.
    virtual int BeginReaction(const WCHAR* name) = 0;
    // 8: asked before the reaction of that name is reversed; nonzero lets the
    // undo proceed.
    virtual int EndReaction(const WCHAR* name) = 0;

protected:
    ~ReactionStore() {}
};

// The reaction context, passed as the first argument of every export. The
// plug-in reads three fields.
struct ReactionContext {
    DWORD dwStamp;         // 0: REACTION_CONTEXT_STAMP
    DWORD_PTR reserved1;   // 4 (8)
    DWORD_PTR reserved2;   // 8 (16)
    ReactionStore* pStore; // 12 (24): the host's store
    DWORD_PTR reserved4;   // 16 (32)
    BYTE** ppParameters;   // 20 (40): a cell holding the parameter block's
                           // address; the cell's address or its content may be null
};

// The parameter block of a reaction: at byte 40, the offset from the block's
// start of a NUL-terminated UTF-16 text; 0 means no text. BlockNamedAttachments
// takes the attachment names from it, BlockTypedAttachments the types, in the
// form the scanning service reads (for example "*.exe *.scr").
struct ReactionParameters {
    BYTE reserved[40];
    DWORD dwTextOffset; // 40
};

// The reaction's description, filled by PreDo: four 32-bit fields, the rest
// left as the host had it. The names are ours; the values are the host's to
// read:
//                     Update  IncreaseScanSettings  the five others
//   dwBracketed (8)      1             1                  0
//   dwCategory (12)      1            12                  0
//   dwReserved (16)      0             0                  0
//   dwUndoable (20)      1             1                  1
struct ReactionInfo {
    DWORD reserved[2];
    DWORD dwBracketed; // 8: the reaction asks BeginReaction/EndReaction
    DWORD dwCategory;  // 12
    DWORD dwReserved;  // 16
    DWORD dwUndoable;  // 20
};

// The undo record of IncreaseScanSettings: the earlier values of the three
// scan settings, in this order (see remote/marrish/Marrish.h, GPS).
struct IncreaseScanSettingsRecord {
    DWORD dwMacroHeuristics;   // 0: GPS offset 688
    DWORD dwProgramHeuristics; // 4: GPS offset 66284
    DWORD dwScanCompressed;    // 8: GPS offset 0
};

static_assert(offsetof(ReactionContext, dwStamp) == 0, "context layout");
static_assert(offsetof(ReactionContext, pStore) == (sizeof(void*) == 4 ? 12 : 24),
              "context layout");
static_assert(offsetof(ReactionContext, ppParameters) == (sizeof(void*) == 4 ? 20 : 40),
              "context layout");
static_assert(offsetof(ReactionParameters, dwTextOffset) == 40, "parameter block layout");
static_assert(offsetof(ReactionInfo, dwBracketed) == 8, "description layout");
static_assert(offsetof(ReactionInfo, dwCategory) == 12, "description layout");
static_assert(offsetof(ReactionInfo, dwReserved) == 16, "description layout");
static_assert(offsetof(ReactionInfo, dwUndoable) == 20, "description layout");
static_assert(sizeof(IncreaseScanSettingsRecord) == 12, "undo record layout");
static_assert(sizeof(REACTION_HANDLE) == sizeof(void*), "handles are address-wide");

// The size of the text buffer of BlockNamed/TypedAttachments, terminator
// included: the text, in the OEM code page, must fit whole.
const int REACTION_TEXT_SIZE = 260;
// The size of Update's command line in UTF-16 units, terminator included.
const int REACTION_COMMAND_LINE_SIZE = 260;

#ifdef RUVANE_BUILD
#ifdef _WIN32
#define RUVANE_EXPORT extern "C" // names come from ruvane.def
#else
#define RUVANE_EXPORT extern "C" __attribute__((visibility("default")))
#endif
#else
#define RUVANE_EXPORT extern "C"
#endif

#define RUVANE_DECLARE_REACTION(X)                                                                 \
    RUVANE_EXPORT REACTION_RESULT Service_Reaction_##X##_PreDo(ReactionContext* context,           \
                                                               ReactionInfo* info);                \
    RUVANE_EXPORT REACTION_RESULT Service_Reaction_##X##_Do(ReactionContext* context);             \
    RUVANE_EXPORT REACTION_RESULT Service_Reaction_##X##_Undo(ReactionContext* context,            \
                                                              REACTION_HANDLE token);              \
    RUVANE_EXPORT REACTION_RESULT Wizard_Reaction_##X##_DataVerify(ReactionContext* context,       \
                                                                   const WCHAR* data);

RUVANE_DECLARE_REACTION(Update)
RUVANE_DECLARE_REACTION(Shutdown)
RUVANE_DECLARE_REACTION(BlockAllAttachments)
RUVANE_DECLARE_REACTION(BlockNamedAttachments)
RUVANE_DECLARE_REACTION(BlockTypedAttachments)
RUVANE_DECLARE_REACTION(IncreaseScanSettings)
RUVANE_DECLARE_REACTION(StopInboundMail)

// The function types a host looks the exports up as.
typedef REACTION_RESULT (*ReactionPreDoFn)(ReactionContext*, ReactionInfo*);
typedef REACTION_RESULT (*ReactionDoFn)(ReactionContext*);
typedef REACTION_RESULT (*ReactionUndoFn)(ReactionContext*, REACTION_HANDLE);
typedef REACTION_RESULT (*ReactionVerifyFn)(ReactionContext*, const WCHAR*);

#endif
