#include "Platform/Mime/Address.h"

#include "Platform/Mime/GMimeSupport.h"

#include <algorithm>
#include <cstring>
#include <string_view>

namespace mimepp {

using detail::GPtr;
using detail::GText;

// Moves values between GMime's address objects and the nodes.
class AddressParser {
public:
    static GPtr<InternetAddressList> Parse(const String& text) {
        detail::EnsureGMime();
        const String unfolded = detail::Unfold(text);
        return GPtr<InternetAddressList>(internet_address_list_parse(detail::ParserOptions(), unfolded.c_str()));
    }

    static String Render(InternetAddress* ia) {
        internet_address_set_charset(ia, "utf-8");
        return GText(internet_address_to_string(ia, detail::FormatOptions(), TRUE)).str();
    }

    static void Fill(Mailbox& box, InternetAddressMailbox* ia) {
        const char* name = internet_address_get_name(INTERNET_ADDRESS(ia));
        const char* addr = internet_address_mailbox_get_addr(ia);
        const String sAddr(addr ? addr : "");
        box.m_sDisplayName = String(name ? name : "");
        const int at = ia->at;
        if (at >= 0 && static_cast<size_t>(at) < sAddr.length()) {
            box.m_sLocalPart = sAddr.substr(0, static_cast<size_t>(at));
            box.m_sDomain = sAddr.substr(static_cast<size_t>(at) + 1);
        } else {
            box.m_sLocalPart = sAddr;
            box.m_sDomain.clear();
        }
    }

    static std::unique_ptr<Mailbox> NewMailbox(InternetAddressMailbox* ia, Node* parent) {
        auto box = std::make_unique<Mailbox>(Render(INTERNET_ADDRESS(ia)), parent);
        Fill(*box, ia);
        return box;
    }

    static void FillMembers(MailboxList& list, InternetAddressList* members, const String& text) {
        list.m_string = text;
        list.m_bModified = false;
        list.m_mailboxes.clear();
        const int n = members ? internet_address_list_length(members) : 0;
        for (int i = 0; i < n; ++i) {
            InternetAddress* ia = internet_address_list_get_address(members, i);
            if (INTERNET_ADDRESS_IS_MAILBOX(ia)) {
                list.m_mailboxes.push_back(NewMailbox(INTERNET_ADDRESS_MAILBOX(ia), &list));
            } else if (INTERNET_ADDRESS_IS_GROUP(ia)) {
                FillMembersAppend(list, internet_address_group_get_members(INTERNET_ADDRESS_GROUP(ia)));
            }
        }
    }

    static void FillGroup(Group& group, InternetAddressGroup* ia) {
        const char* name = internet_address_get_name(INTERNET_ADDRESS(ia));
        group.m_sName = String(name ? name : "");
        InternetAddressList* members = internet_address_group_get_members(ia);
        FillMembers(group.m_members, members, members ? Render(members) : String());
    }

    static void FillList(AddressList& list, InternetAddressList* parsed) {
        list.m_addresses.clear();
        const int n = parsed ? internet_address_list_length(parsed) : 0;
        for (int i = 0; i < n; ++i) {
            InternetAddress* ia = internet_address_list_get_address(parsed, i);
            if (INTERNET_ADDRESS_IS_MAILBOX(ia)) {
                list.m_addresses.push_back(NewMailbox(INTERNET_ADDRESS_MAILBOX(ia), &list));
            } else if (INTERNET_ADDRESS_IS_GROUP(ia)) {
                auto group = std::make_unique<Group>(Render(ia), &list);
                FillGroup(*group, INTERNET_ADDRESS_GROUP(ia));
                list.m_addresses.push_back(std::move(group));
            }
        }
    }

    // A new GMime mailbox carrying the node's current values.
    static GPtr<InternetAddress> ToGMime(const Mailbox& box) {
        String addr = box.m_sLocalPart;
        if (!box.m_sDomain.empty())
            addr += "@" + box.m_sDomain;
        const String name = detail::OneLine(box.m_sDisplayName);
        return GPtr<InternetAddress>(internet_address_mailbox_new(name.empty() ? nullptr : name.c_str(), addr.c_str()));
    }

    // Writes the mailbox the way Render() does for the common plain case, without going through
    // GMime (which also looks up every domain for IDN): ASCII name of at most 60 characters, quoted
    // when it holds specials, and an address of letters, digits and "._+-" with a dotted domain.
    // Longer names are split or encoded by GMime, other addresses may be rewritten by the IDN
    // lookup; false for those.
    static bool RenderPlain(const Mailbox& box, String& out) {
        const std::string_view local = box.m_sLocalPart;
        const std::string_view domain = box.m_sDomain;
        const std::string_view name = box.m_sDisplayName;
        auto isAddressByte = [](unsigned char c) {
            return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
                   c == '+' || c == '-';
        };
        if (local.empty() || domain.empty() || domain.front() == '.' || domain.back() == '.' ||
            domain.find("..") != std::string_view::npos || name.size() > 60 ||
            !std::all_of(local.begin(), local.end(), isAddressByte) ||
            !std::all_of(domain.begin(), domain.end(), isAddressByte)) {
            return false;
        }
        bool bQuote = false;
        if (!name.empty()) {
            // Blanks at the ends are trimmed and "=?" may be taken for an encoded word: GMime's.
            if (name.front() == ' ' || name.back() == ' ' || name.find("=?") != std::string_view::npos)
                return false;
            for (unsigned char c : name) {
                if (c < 32 || c > 126)
                    return false;
                bQuote |= std::strchr("()<>[]:;@\\,.\"", c) != nullptr;
            }
        }
        std::string& text = out.str();
        text.clear();
        if (!name.empty()) {
            if (bQuote) {
                text += '"';
                for (char c : name) {
                    if (c == '"' || c == '\\')
                        text += '\\';
                    text += c;
                }
                text += '"';
            } else {
                text += name;
            }
            text += " <";
        }
        text.append(local).append(1, '@').append(domain);
        if (!name.empty())
            text += '>';
        return true;
    }

private:
    static String Render(InternetAddressList* list) {
        const int n = internet_address_list_length(list);
        for (int i = 0; i < n; ++i)
            internet_address_set_charset(internet_address_list_get_address(list, i), "utf-8");
        return GText(internet_address_list_to_string(list, detail::FormatOptions(), TRUE)).str();
    }

    static void FillMembersAppend(MailboxList& list, InternetAddressList* members) {
        const int n = members ? internet_address_list_length(members) : 0;
        for (int i = 0; i < n; ++i) {
            InternetAddress* ia = internet_address_list_get_address(members, i);
            if (INTERNET_ADDRESS_IS_MAILBOX(ia))
                list.m_mailboxes.push_back(NewMailbox(INTERNET_ADDRESS_MAILBOX(ia), &list));
        }
    }
};

namespace {

template <typename T>
String JoinAssembled(std::vector<std::unique_ptr<T>>& items) {
    String out;
    for (auto& item : items) {
        item->assemble();
        if (item->getString().empty())
            continue;
        if (!out.empty())
            out += ", ";
        out += item->getString();
    }
    return out;
}

}  // namespace

void Mailbox::setLocalPart(const String& localPart) {
    m_sLocalPart = detail::OneLine(localPart);
    setModified();
}

void Mailbox::setDomain(const String& domain) {
    m_sDomain = detail::OneLine(domain);
    setModified();
}

void Mailbox::setDisplayNameUtf8(const String& name) {
    m_sDisplayName = name;
    setModified();
}

void Mailbox::parse() {
    m_sLocalPart.clear();
    m_sDomain.clear();
    m_sDisplayName.clear();
    auto list = AddressParser::Parse(m_string);
    const int n = list ? internet_address_list_length(list.get()) : 0;
    for (int i = 0; i < n; ++i) {
        InternetAddress* ia = internet_address_list_get_address(list.get(), i);
        if (INTERNET_ADDRESS_IS_GROUP(ia)) {
            InternetAddressList* members = internet_address_group_get_members(INTERNET_ADDRESS_GROUP(ia));
            if (!members || internet_address_list_length(members) == 0)
                continue;
            ia = internet_address_list_get_address(members, 0);
        }
        if (INTERNET_ADDRESS_IS_MAILBOX(ia)) {
            AddressParser::Fill(*this, INTERNET_ADDRESS_MAILBOX(ia));
            break;
        }
    }
    m_bModified = false;
}

void Mailbox::assemble() {
    if (!m_bModified)
        return;
    if (m_sLocalPart.empty() && m_sDomain.empty()) {
        m_string.clear();
    } else if (!AddressParser::RenderPlain(*this, m_string)) {
        auto ia = AddressParser::ToGMime(*this);
        m_string = AddressParser::Render(ia.get());
    }
    m_bModified = false;
}

MailboxList::MailboxList(const MailboxList& other) : FieldBody(other) {
    for (const auto& box : other.m_mailboxes) {
        m_mailboxes.emplace_back(static_cast<Mailbox*>(box->clone()));
        m_mailboxes.back()->setParent(this);
    }
}

void MailboxList::addMailbox(Mailbox* mailbox) {
    mailbox->setParent(this);
    m_mailboxes.emplace_back(mailbox);
    setModified();
}

std::unique_ptr<Mailbox> MailboxList::removeMailboxAt(int index) {
    std::unique_ptr<Mailbox> box = std::move(m_mailboxes.at(static_cast<size_t>(index)));
    m_mailboxes.erase(m_mailboxes.begin() + index);
    box->setParent(nullptr);
    setModified();
    return box;
}

void MailboxList::parse() {
    auto list = AddressParser::Parse(m_string);
    AddressParser::FillMembers(*this, list.get(), m_string);
}

void MailboxList::assemble() {
    if (!m_bModified)
        return;
    m_string = JoinAssembled(m_mailboxes);
    m_bModified = false;
}

Group::Group(const Group& other) : Address(other), m_sName(other.m_sName), m_members(other.m_members) {
    m_members.setParent(this);
}

void Group::setGroupNameUtf8(const String& name) {
    m_sName = name;
    setModified();
}

void Group::parse() {
    m_sName.clear();
    auto list = AddressParser::Parse(m_string);
    const int n = list ? internet_address_list_length(list.get()) : 0;
    if (n > 0 && INTERNET_ADDRESS_IS_GROUP(internet_address_list_get_address(list.get(), 0))) {
        AddressParser::FillGroup(*this, INTERNET_ADDRESS_GROUP(internet_address_list_get_address(list.get(), 0)));
    } else {
        AddressParser::FillMembers(m_members, list.get(), m_string);
    }
    m_bModified = false;
}

void Group::assemble() {
    if (!m_bModified)
        return;
    const String name = detail::OneLine(m_sName);
    GPtr<InternetAddress> group(internet_address_group_new(name.c_str()));
    for (int i = 0; i < m_members.numMailboxes(); ++i) {
        const Mailbox& box = m_members.mailboxAt(i);
        if (box.localPart().empty() && box.domain().empty())
            continue;
        auto ia = AddressParser::ToGMime(box);
        internet_address_group_add_member(INTERNET_ADDRESS_GROUP(group.get()), ia.get());
    }
    m_members.assemble();
    m_string = AddressParser::Render(group.get());
    m_bModified = false;
}

AddressList::AddressList(const AddressList& other) : FieldBody(other) {
    for (const auto& address : other.m_addresses) {
        m_addresses.emplace_back(static_cast<Address*>(address->clone()));
        m_addresses.back()->setParent(this);
    }
}

void AddressList::addAddress(Address* address) {
    address->setParent(this);
    m_addresses.emplace_back(address);
    setModified();
}

std::unique_ptr<Address> AddressList::removeAddressAt(int index) {
    std::unique_ptr<Address> address = std::move(m_addresses.at(static_cast<size_t>(index)));
    m_addresses.erase(m_addresses.begin() + index);
    address->setParent(nullptr);
    setModified();
    return address;
}

void AddressList::parse() {
    auto list = AddressParser::Parse(m_string);
    AddressParser::FillList(*this, list.get());
    m_bModified = false;
}

void AddressList::assemble() {
    if (!m_bModified)
        return;
    m_string = JoinAssembled(m_addresses);
    m_bModified = false;
}

}  // namespace mimepp
