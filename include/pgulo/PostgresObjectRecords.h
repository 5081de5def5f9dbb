#pragma once

#include <string>

// The text records of object browse and object-level restore. Plain values: copyable,
// movable, every field empty after default construction.

// One catalogue entry as the browse tree shows it. The database record has only name and
// type; every other record carries a browse path that ends in "/#?#?#" and a four-letter tag.
struct object_prop {
    std::string schema;   // the schema the object lives in (a schema record: its own name)
    std::string database; // the database browsed
    std::string parent;   // left empty by the catalogue
    std::string oid;      // the object's oid as text
    std::string extra;    // left empty by the catalogue
    std::string name;     // the object (for table sub-objects: the sub-object) name
    std::string type;     // display label ("Table", "Constraint", ...)
    std::string path;     // browse path
};

// One selected browse path, read back by its tag. Same fields as object_prop: parent is the
// table of a table's sub-object (the object itself for schema-level objects), type is the
// restore keyword ("TABLE", "VIEW", ...), oid and extra stay empty.
struct Item_prop {
    std::string schema;
    std::string database;
    std::string parent;
    std::string oid;
    std::string extra;
    std::string name;
    std::string type;
    std::string path;
};

// One object to restore.
struct object_type {
    std::string name;
    std::string type; // restore keyword
    std::string schema;
};

// One parsed entry of a pg_restore list file.
struct DBObject {
    std::string type; // the matched entry kind with its trailing blank ("TABLE ")
    std::string name;
    std::string schema;
    std::string owner;
    std::string line; // the whole line as listed
};
