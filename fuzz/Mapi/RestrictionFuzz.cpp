// Arbitrary bytes as the stored criteria of a search folder: DeserializeRestriction must refuse
// damaged bytes; criteria it accepts must serialise back to the same bytes, evaluate against rows
// of every kind of value without a crash, and convert to an SRestriction that compiles again.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "Platform/Mapi/MapiGuids.h"
#include "Platform/Mapi/MapiTags.h"
#include "Platform/Mapi/Props/Restriction.h"

using namespace Platform::Mapi;

namespace {

void Put(PropMap& props, const StoredProp& prop) {
    props[PROP_ID(prop.ulTag)] = prop;
}

// Rows with values of most types, some damaged, and a recipient and an attachment row.
std::vector<PropMap> SampleRows() {
    std::vector<PropMap> rows(3);
    Put(rows[0], MakeString(PR_SUBJECT_W, L"Quarterly numbers \u00C4rger"));
    Put(rows[0], MakeLong(PR_MESSAGE_FLAGS, 0x11));
    Put(rows[0], MakeBool(PROP_TAG(PT_BOOLEAN, 0x0057), true));
    Put(rows[0], MakeI8(PROP_TAG(PT_I8, 0x6700), -5));
    Put(rows[0], MakeSysTime(PR_LAST_MODIFICATION_TIME, FILETIME{1, 2}));
    Put(rows[0], MakeBinary(PR_ENTRYID, std::string(24, '\x01')));
    Put(rows[0], StoredProp{PROP_TAG(PT_MV_UNICODE, 0x8001), std::string("\x01\x00\x00\x00"
                                                                         "a\x02\x00\x00\x00"
                                                                         "bc",
                                                                         11)});
    Put(rows[0], StoredProp{PROP_TAG(PT_MV_LONG, 0x8002), std::string("\x01\x00\x00\x00\x02\x00\x00\x00", 8)});
    Put(rows[0], StoredProp{PROP_TAG(PT_DOUBLE, 0x8003), std::string("\x00\x00\x00\x00\x00\x00\xF8\x7F", 8)});  // NaN
    Put(rows[0], StoredProp{PROP_TAG(PT_CLSID, 0x8004), std::string(16, '\x07')});
    Put(rows[1], MakeString(PR_SUBJECT_A, L""));
    Put(rows[1], StoredProp{PR_MESSAGE_FLAGS, "\x01"});                            // damaged: too short
    Put(rows[1], StoredProp{PROP_TAG(PT_MV_BINARY, 0x8001), "\xFF\xFF\xFF\xFF"});  // damaged length
    Put(rows[2], MakeString(PR_DISPLAY_NAME_W, L"Ann"));
    Put(rows[2], MakeLong(PR_RECIPIENT_TYPE, 1));
    return rows;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::vector<PropMap> rows = SampleRows();
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    Restriction res;
    if (!DeserializeRestriction(bytes, res))
        return 0;
    if (SerializeRestriction(res) != bytes)
        __builtin_trap();

    std::set<ULONG> ids;
    CollectIds(res, ids);
    auto subObjects = [&](ULONG, std::vector<PropMap>& out) {
        out = {rows[2], rows[1]};
        return S_OK;
    };
    for (const PropMap& row : rows) {
        Evaluate(res, RowView{&row, subObjects});
        Evaluate(res, RowView{&row, {}});
    }
    Evaluate(res, RowView{});

    ArenaAllocator alloc;
    SRestriction sres;
    if (ToSRestriction(res, &sres, alloc) != S_OK)
        return 0;
    Restriction again;
    if (SUCCEEDED(CompileRestriction(&sres, again)))
        for (const PropMap& row : rows)
            Evaluate(again, RowView{&row, subObjects});
    return 0;
}
