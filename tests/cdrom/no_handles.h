#pragma once
// Running out of handles on purpose, so that the next completion event cannot be made.

namespace cdrom_test {

// While it lives, the process can open no more descriptors. Only where the system lets a test
// lower its own limit (POSIX); elsewhere `in_force` stays false and nothing changes.
class NoHandles {
public:
    NoHandles();
    ~NoHandles();
    NoHandles(const NoHandles &) = delete;
    NoHandles &operator=(const NoHandles &) = delete;
    bool in_force() const { return in_force_; }

private:
    bool in_force_ = false;
};

}  // namespace cdrom_test
