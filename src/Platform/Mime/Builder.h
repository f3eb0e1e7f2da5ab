// Internal: builds the node tree of an entity, its headers or its body from text parsed by GMime.
//
// GMime decides the structure (which lines are headers, where parts begin and end, which parts
// encapsulate messages). Every node is then given the exact bytes of the original text that it
// covers, found from GMime's header offsets and content positions and from the boundary lines,
// so that nodes that are not changed are written back byte for byte.
#pragma once

namespace mimepp {
class Entity;
class Headers;
class Body;
}  // namespace mimepp

namespace mimepp::detail {

class Builder {
public:
    static void ParseEntity(Entity& entity, int depth);
    static void ParseHeaders(Headers& headers);
    static void ParseBody(Body& body);

private:
    class Tree;  // one GMime parse and the node building on it
};

}  // namespace mimepp::detail
