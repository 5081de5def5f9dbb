#pragma once

#include <libxml/tree.h>

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

// An element of a request body: a text, or children that each hold a text.
struct S3XmlElement {
    std::string name;
    std::string text;
    std::vector<std::pair<std::string, std::string>> children;
};

// The store's XML answers read with libxml2, and the request bodies written with it.
class S3Xml {
public:
    // std::runtime_error when the text is not XML.
    explicit S3Xml(const std::string& text);

    // The text of the first element of that name anywhere, empty when there is none.
    std::string First(const std::string& name) const;
    // For each element of that name, its children's texts by child name.
    std::vector<std::map<std::string, std::string>> Records(const std::string& name) const;

    static std::string Compose(const std::string& root, const std::vector<S3XmlElement>& elements);

private:
    struct DocFree {
        void operator()(xmlDoc* doc) const noexcept { xmlFreeDoc(doc); }
    };
    std::unique_ptr<xmlDoc, DocFree> doc_;
};
