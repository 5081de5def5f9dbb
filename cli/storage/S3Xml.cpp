#include "S3Xml.h"

#include <libxml/parser.h>

#include <functional>
#include <stdexcept>

namespace {

struct TextFree {
    void operator()(xmlChar* text) const noexcept { xmlFree(text); }
};

std::string NameOf(const xmlNode* node) {
    return reinterpret_cast<const char*>(node->name);
}

std::string TextOf(const xmlNode* node) {
    std::unique_ptr<xmlChar, TextFree> text(xmlNodeGetContent(node));
    return text ? reinterpret_cast<const char*>(text.get()) : "";
}

// Depth-first, in document order; stops when visit returns false.
bool Walk(const xmlNode* node, const std::function<bool(const xmlNode*)>& visit) {
    for (; node != nullptr; node = node->next) {
        if (node->type != XML_ELEMENT_NODE)
            continue;
        if (!visit(node) || !Walk(node->children, visit))
            return false;
    }
    return true;
}

const xmlChar* Chars(const std::string& text) {
    return reinterpret_cast<const xmlChar*>(text.c_str());
}

} // namespace

S3Xml::S3Xml(const std::string& text)
    : doc_(xmlReadMemory(text.data(), static_cast<int>(text.size()), nullptr, nullptr,
                         XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING)) {
    if (!doc_)
        throw std::runtime_error("the object store's answer is not XML");
}

std::string S3Xml::First(const std::string& name) const {
    std::string found;
    Walk(xmlDocGetRootElement(doc_.get()), [&](const xmlNode* node) {
        if (NameOf(node) != name)
            return true;
        found = TextOf(node);
        return false;
    });
    return found;
}

std::vector<std::map<std::string, std::string>> S3Xml::Records(const std::string& name) const {
    std::vector<std::map<std::string, std::string>> records;
    Walk(xmlDocGetRootElement(doc_.get()), [&](const xmlNode* node) {
        if (NameOf(node) == name) {
            auto& record = records.emplace_back();
            for (const xmlNode* child = node->children; child != nullptr; child = child->next)
                if (child->type == XML_ELEMENT_NODE)
                    record[NameOf(child)] = TextOf(child);
        }
        return true;
    });
    return records;
}

std::string S3Xml::Compose(const std::string& root, const std::vector<S3XmlElement>& elements) {
    std::unique_ptr<xmlDoc, DocFree> doc(xmlNewDoc(Chars("1.0")));
    xmlNode* top = xmlNewNode(nullptr, Chars(root));
    if (!doc || top == nullptr)
        throw std::runtime_error("out of memory composing XML");
    xmlDocSetRootElement(doc.get(), top);
    // xmlNewTextChild escapes the texts (keys may hold & or <).
    for (const S3XmlElement& element : elements) {
        xmlNode* node = xmlNewTextChild(top, nullptr, Chars(element.name),
                                        element.children.empty() ? Chars(element.text) : nullptr);
        for (const auto& [name, text] : element.children)
            xmlNewTextChild(node, nullptr, Chars(name), Chars(text));
    }
    xmlChar* raw = nullptr;
    int size = 0;
    xmlDocDumpMemoryEnc(doc.get(), &raw, &size, "UTF-8");
    std::unique_ptr<xmlChar, TextFree> text(raw);
    if (!text)
        throw std::runtime_error("out of memory composing XML");
    return std::string(reinterpret_cast<const char*>(text.get()), static_cast<std::size_t>(size));
}
