// Metadata entries read the way an XML parser reads them, whether they take the quick way (the
// plain form the server writes) or the parser's (anything else).
#include <gtest/gtest.h>

#include <string>

#include "Ostrel/Convert/Mail/IncomingMeta.h"

namespace {

using Ostrel::Convert::IncomingMeta;
using Ostrel::Convert::ParseIncomingMeta;

TEST(IncomingMeta, PlainAndUnusualFormsReadAlike) {
    struct Case {
        const char* pszText;
        LONG lId;
        const char* pszFlags;
        const char* pszTagNames;
    };
    const Case cases[] = {
        {"<m id=\"12\" f=\"su\" tn=\"Work,Home\" d=\"1700000000123\" cid=\"5\"/>", 12, "su", "Work,Home"},
        {"\r\n<m\n id = '7'\tf='u' l=\"2\"   />\n", 7, "u", ""},
        // Entities, a declaration, non-ASCII text and white space inside a value: the parser's rules.
        {"<m id=\"8\" tn=\"R&amp;D,&#x4E2D;\"/>", 8, "", "R&D,\xe4\xb8\xad"},
        {"<?xml version=\"1.0\" encoding=\"utf-8\"?><m id=\"9\" tn=\"Gr\xc3\xbc\xc3\x9f"
         "e\"/>",
         9, "",
         "Gr\xc3\xbc\xc3\x9f"
         "e"},
        {"<m id=\"10\" tn=\"a\tb\"/>", 10, "", "a b"},
        {"<m id=\"11\" f=\"r\"></m>", 11, "r", ""},
    };
    for (const Case& c : cases) {
        IncomingMeta meta;
        std::wstring wsError;
        ASSERT_TRUE(ParseIncomingMeta(c.pszText, meta, wsError))
            << c.pszText << ": " << std::string(wsError.begin(), wsError.end());
        EXPECT_EQ(meta.lId, c.lId) << c.pszText;
        EXPECT_EQ(meta.sFlags, c.pszFlags) << c.pszText;
        EXPECT_EQ(meta.sTagNames, c.pszTagNames) << c.pszText;
    }
}

TEST(IncomingMeta, MalformedEntriesAreRejectedWithNothingKept) {
    const char* const bad[] = {
        "<m id=\"1\" id=\"2\"/>",           // a repeated attribute is not XML
        "<m id=\"1\" f=\"u\"/> trailing",   // text after the element
        "<m id=\"1\" f=\"u\"",              // not closed
        "<x id=\"1\"/>",                    // not a message's element
        "<m f=\"u\"/>",                     // no id
        "<m id=\"99999999999\" f=\"u\"/>",  // not a 32-bit id
        "<m id=\"1\"f=\"u\"/>",             // attributes must be separated
        "",
    };
    for (const char* pszText : bad) {
        IncomingMeta meta;
        meta.sFlags = "stale";
        std::wstring wsError;
        EXPECT_FALSE(ParseIncomingMeta(pszText, meta, wsError)) << pszText;
        EXPECT_FALSE(wsError.empty()) << pszText;
        EXPECT_TRUE(meta.sFlags.empty()) << pszText;
    }
}

}  // namespace
