// Helpers shared by the contact tests: replies built around `cn` fragments, both ways of reading
// them, and a field-by-field comparison of contacts.
#pragma once

#include "Ostrel/Model/Contact/Contact.h"
#include "Ostrel/Rpc/Requests/ContactReader.h"
#include "Platform/Com/ComPtr.h"

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace ContactTest {

// A SOAP reply whose response element (in the mail or account namespace) holds the fragment.
std::string Reply(const std::string& cnFragment, bool mailNamespace = true);

// A loaded reply document with the SOAP selection namespaces, as the response layer keeps it.
Platform::ComPtr<IXMLDOMDocument2> LoadReply(const std::string& reply);

// Contacts of a reply through CreateContactList and through the event-driven reader.
std::unique_ptr<Ostrel::Mail::Contact::List> ReadDom(const std::string& reply, bool mailNamespace = true);
std::unique_ptr<Ostrel::Mail::Contact::List> ReadSax(const std::string& reply, bool mailNamespace = true,
                                                     int newStyleGalIdMapper = 0);

// The DOM constructor with a chosen new-style flag, for the first `cn` of a reply.
std::unique_ptr<Ostrel::Mail::Contact> ParseDomCn(const std::string& reply, int newStyleGalIdMapper,
                                                  bool mailNamespace = true);

std::vector<std::pair<std::wstring, std::wstring>> Entries(const Ostrel::Mail::Contact& contact);

// Every field of two contacts, with the name of the first field that differs in the failure.
void ExpectSameContact(const Ostrel::Mail::Contact& a, const Ostrel::Mail::Contact& b);

}  // namespace ContactTest
