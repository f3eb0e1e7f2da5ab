// Parses arbitrary bytes as a message, reads every value, and writes it back: untouched it must
// come out byte for byte, edited it must still parse to the same structure. The coders must
// round-trip the bytes exactly.
#include "Platform/Mime/Mime.h"

#include <glib.h>

#include <cstdint>
#include <cstdlib>

using namespace mimepp;

namespace {

void Check(bool bOk) {
    if (!bOk)
        std::abort();
}

String Shape(Entity& entity, int depth = 0) {
    String out = entity.headers().hasField("Content-Type") ? entity.headers().contentType().type() : String("-");
    if (depth > 200)
        return out;
    for (int i = 0; i < entity.body().numBodyParts(); ++i)
        out += "[" + Shape(entity.body().bodyPartAt(i), depth + 1) + "]";
    if (entity.body().message())
        out += "{" + Shape(*entity.body().message(), depth + 1) + "}";
    return out;
}

void Walk(Entity& entity) {
    Headers& headers = entity.headers();
    for (int i = 0; i < headers.numFields(); ++i) {
        FieldBody& value = headers.fieldAt(i).fieldBody();
        const Class& type = value.class_();
        if (type.isA(Text::kClass))
            static_cast<Text&>(value).textUtf8();
        if (type.isA(AddressList::kClass)) {
            auto& list = static_cast<AddressList&>(value);
            for (int a = 0; a < list.numAddresses(); ++a) {
                if (list.addressAt(a).class_().isA(Group::kClass)) {
                    static_cast<Group&>(list.addressAt(a)).mailboxList().numMailboxes();
                }
            }
        }
        if (type.isA(MailboxList::kClass))
            static_cast<MailboxList&>(value).numMailboxes();
        if (type.isA(Mailbox::kClass))
            static_cast<Mailbox&>(value).displayNameUtf8();
        if (type.isA(MediaType::kClass))
            static_cast<MediaType&>(value).name();
        if (type.isA(DispositionType::kClass))
            static_cast<DispositionType&>(value).filename();
        if (type.isA(Stamp::kClass))
            static_cast<Stamp&>(value).date().asUnixTime();
    }
    String decoded;
    switch (headers.contentTransferEncoding().asEnum()) {
        case TransferEncodingType::BASE64:
            Base64Decoder().decode(entity.body().getString(), decoded);
            break;
        case TransferEncodingType::QUOTED_PRINTABLE:
            QuotedPrintableDecoder().decode(entity.body().getString(), decoded);
            break;
        default:
            break;
    }
    for (int i = 0; i < entity.body().numBodyParts(); ++i)
        Walk(entity.body().bodyPartAt(i));
    if (Message* inner = entity.body().message())
        Walk(*inner);
}

Entity& FirstLeaf(Entity& entity) {
    if (entity.body().numBodyParts() > 0)
        return FirstLeaf(entity.body().bodyPartAt(0));
    if (entity.body().message())
        return FirstLeaf(*entity.body().message());
    return entity;
}

}  // namespace

// A GLib critical means GMime was called wrongly: treat it as a crash.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g_log_set_always_fatal(static_cast<GLogLevelFlags>(G_LOG_LEVEL_CRITICAL | G_LOG_FATAL_MASK));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const String text(reinterpret_cast<const char*>(data), size);

    Message message(text);
    message.parse();
    Walk(message);
    message.assemble();
    Check(message.getString() == text);

    const String shape = Shape(message);
    message.headers().addField(Field::newField("X-Fuzz", "1"));
    message.assemble();
    Message edited(message.getString());
    edited.parse();
    Check(Shape(edited) == shape);

    // Values taken from the input go through every encoder.
    Entity& leaf = FirstLeaf(edited);
    const String piece = text.substr(0, 100);
    leaf.headers().subject().setTextUtf8(piece);
    leaf.headers().contentDisposition().setFilename(piece);
    auto* box = new Mailbox();
    box->setDisplayNameUtf8(piece);
    box->setLocalPart(text.substr(100, 20));
    box->setDomain(text.substr(120, 20));
    leaf.headers().to().addAddress(box);
    auto* group = new Group();
    group->setGroupNameUtf8(text.substr(140, 40));
    leaf.headers().cc().addAddress(group);
    EncodedWord word(text.substr(180, 10), static_cast<char>(size % 2 ? 'B' : 'Q'), piece);
    word.assemble();
    leaf.body().addBodyPart(BodyPart::newBodyPart());
    edited.assemble();
    Message again(edited.getString());
    again.parse();
    Walk(again);

    String encoded;
    String decoded;
    Base64Encoder b64;
    b64.setMaxLineLen(static_cast<int>(size % 90));
    b64.encode(text, encoded);
    Check(Base64Decoder().decode(encoded, decoded) == 0 && decoded == text);
    QuotedPrintableEncoder qp;
    qp.setMaxLineLen(static_cast<int>(size % 100));
    qp.encode(text, encoded);
    Check(QuotedPrintableDecoder().decode(encoded, decoded) == 0 && decoded == text);
    return 0;
}
