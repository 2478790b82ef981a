// Owning handles for the IOKit and CoreFoundation objects a query creates:
// each releases its object through the os interface when it goes out of
// scope, so every path out of a query releases what it made.
#pragma once

#include <utility>

#include "os/system.h"

namespace lumenstat {

template <class Ref>
class CfRef {
public:
    CfRef(os::System& sys, Ref ref) : sys_(sys), ref_(ref) {}
    ~CfRef() {
        if (ref_ != nullptr) sys_.CFRelease(ref_);
    }
    CfRef(const CfRef&) = delete;
    CfRef& operator=(const CfRef&) = delete;

    Ref get() const { return ref_; }
    explicit operator bool() const { return ref_ != nullptr; }

private:
    os::System& sys_;
    Ref ref_;
};

class IoObject {
public:
    IoObject(os::System& sys, darwin::io_object_t object) : sys_(sys), object_(object) {}
    ~IoObject() {
        if (object_ != 0) sys_.IOObjectRelease(object_);
    }
    IoObject(const IoObject&) = delete;
    IoObject& operator=(const IoObject&) = delete;

    darwin::io_object_t get() const { return object_; }

private:
    os::System& sys_;
    darwin::io_object_t object_;
};

}  // namespace lumenstat
