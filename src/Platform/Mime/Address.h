// Addresses (RFC 5322): a Mailbox or a Group, and the AddressList and MailboxList that hold them.
// Names are given and taken as UTF-8 and written as RFC 2047 UTF-8 words when they need it.
#pragma once

#include "Platform/Mime/FieldBody.h"

#include <memory>
#include <vector>

namespace mimepp {

class Address : public FieldBody {
public:
    static constexpr Class kClass{"Address", &FieldBody::kClass};
    const Class& class_() const override { return kClass; }

protected:
    Address() = default;
    explicit Address(const String& text, Node* parent) : FieldBody(text, parent) {}
};

class Mailbox : public Address {
public:
    static constexpr Class kClass{"Mailbox", &Address::kClass};

    Mailbox() = default;
    explicit Mailbox(const String& text, Node* parent = nullptr) : Address(text, parent) {}
    const Class& class_() const override { return kClass; }

    const String& localPart() const { return m_sLocalPart; }
    void setLocalPart(const String& localPart);
    // Empty for an address without a domain.
    const String& domain() const { return m_sDomain; }
    void setDomain(const String& domain);
    const String& displayNameUtf8() const { return m_sDisplayName; }
    void setDisplayNameUtf8(const String& name);
    // The name the message writer uses for the same setter.
    void setDisplayNameUtf(const String& name) { setDisplayNameUtf8(name); }

    // Reads the first mailbox of the text (a group's first member when the text is a group).
    void parse() override;
    void assemble() override;
    Node* clone() const override { return new Mailbox(*this); }

private:
    friend class AddressParser;
    String m_sLocalPart;
    String m_sDomain;
    String m_sDisplayName;
};

class MailboxList : public FieldBody {
public:
    static constexpr Class kClass{"MailboxList", &FieldBody::kClass};

    MailboxList() = default;
    explicit MailboxList(const String& text, Node* parent = nullptr) : FieldBody(text, parent) {}
    MailboxList(const MailboxList& other);
    const Class& class_() const override { return kClass; }

    int numMailboxes() const { return static_cast<int>(m_mailboxes.size()); }
    Mailbox& mailboxAt(int index) { return *m_mailboxes.at(static_cast<size_t>(index)); }
    const Mailbox& mailboxAt(int index) const { return *m_mailboxes.at(static_cast<size_t>(index)); }
    // Takes ownership.
    void addMailbox(Mailbox* mailbox);
    std::unique_ptr<Mailbox> removeMailboxAt(int index);

    // Mailboxes inside groups are listed in place of their group.
    void parse() override;
    void assemble() override;
    Node* clone() const override { return new MailboxList(*this); }

private:
    friend class AddressParser;
    std::vector<std::unique_ptr<Mailbox>> m_mailboxes;
};

class Group : public Address {
public:
    static constexpr Class kClass{"Group", &Address::kClass};

    Group() : m_members(String(), this) {}
    explicit Group(const String& text, Node* parent = nullptr) : Address(text, parent), m_members(String(), this) {}
    Group(const Group& other);
    const Class& class_() const override { return kClass; }

    const String& groupNameUtf8() const { return m_sName; }
    void setGroupNameUtf8(const String& name);
    MailboxList& mailboxList() { return m_members; }
    const MailboxList& mailboxList() const { return m_members; }

    void parse() override;
    void assemble() override;
    Node* clone() const override { return new Group(*this); }

private:
    friend class AddressParser;
    String m_sName;
    MailboxList m_members;
};

class AddressList : public FieldBody {
public:
    static constexpr Class kClass{"AddressList", &FieldBody::kClass};

    AddressList() = default;
    explicit AddressList(const String& text, Node* parent = nullptr) : FieldBody(text, parent) {}
    AddressList(const AddressList& other);
    const Class& class_() const override { return kClass; }

    int numAddresses() const { return static_cast<int>(m_addresses.size()); }
    // A Mailbox or a Group; test with class_().isA(Mailbox::kClass).
    Address& addressAt(int index) { return *m_addresses.at(static_cast<size_t>(index)); }
    const Address& addressAt(int index) const { return *m_addresses.at(static_cast<size_t>(index)); }
    // Takes ownership.
    void addAddress(Address* address);
    std::unique_ptr<Address> removeAddressAt(int index);

    void parse() override;
    void assemble() override;
    Node* clone() const override { return new AddressList(*this); }

private:
    friend class AddressParser;
    std::vector<std::unique_ptr<Address>> m_addresses;
};

}  // namespace mimepp
