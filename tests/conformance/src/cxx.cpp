// C++ names for the demangler: namespaces, classes, templates, operators.
#include <stdint.h>

namespace sensors {
template <typename T, unsigned N>
class Ring {
public:
    void push(T value) { data_[head_++ % N] = value; }
    T sum() const {
        T total = 0;
        for (unsigned i = 0; i < N; ++i) total += data_[i];
        return total;
    }
private:
    T data_[N] = {};
    unsigned head_ = 0;
};

Ring<uint32_t, 16> samples;

__attribute__((noinline)) uint32_t filter(const Ring<uint32_t, 16>& ring, uint32_t scale) {
    return ring.sum() * scale;
}
}  // namespace sensors

extern "C" uint32_t cxx_entry(uint32_t x) {
    sensors::samples.push(x);
    return sensors::filter(sensors::samples, 3);
}
