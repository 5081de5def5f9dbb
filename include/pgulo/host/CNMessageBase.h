#pragma once

#include "pgulo/host/HostExport.h"

// A message exchanged with the management server, identified by family and kind.
class PGULO_HOST_API CNMessageBase {
public:
    CNMessageBase(int family, int kind) : family_(family), kind_(kind) {}
    virtual ~CNMessageBase() = default;
    CNMessageBase(const CNMessageBase&) = default;
    CNMessageBase& operator=(const CNMessageBase&) = default;

    int getFamily() const { return family_; }
    int getKind() const { return kind_; }

private:
    int family_;
    int kind_;
};
