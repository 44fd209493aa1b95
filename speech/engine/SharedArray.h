#pragma once

#include <cstddef>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <utility>
#include <vector>

namespace sonoscribe {

// A list of values whose copies share one array: copying it costs a count,
// whatever it holds. The live transcriber's state is copied for every report
// it makes, several per decoded token, while its confirmed segments and
// energies grow with the dictation; copied value by value, an hour's worth
// would cost milliseconds a report. Changing it makes a new array.
template <class T>
class SharedArray {
public:
    using value_type = T;
    using const_iterator = typename std::vector<T>::const_iterator;

    SharedArray() = default;
    SharedArray(std::vector<T> values)
        : values_(values.empty() ? nullptr : std::make_shared<const std::vector<T>>(std::move(values))) {}
    SharedArray(std::initializer_list<T> values) : SharedArray(std::vector<T>(values)) {}

    const std::vector<T>& values() const noexcept { return values_ ? *values_ : none(); }
    operator const std::vector<T>&() const noexcept { return values(); }

    const_iterator begin() const noexcept { return values().begin(); }
    const_iterator end() const noexcept { return values().end(); }
    std::size_t size() const noexcept { return values().size(); }
    bool empty() const noexcept { return values().empty(); }
    const T& operator[](std::size_t index) const { return values()[index]; }
    const T& front() const { return values().front(); }
    const T& back() const { return values().back(); }

    template <class Iterator>
    void append(Iterator first, Iterator last) {
        if (first == last) return;
        std::vector<T> grown;
        grown.reserve(size() + static_cast<std::size_t>(std::distance(first, last)));
        grown.insert(grown.end(), begin(), end());
        grown.insert(grown.end(), first, last);
        values_ = std::make_shared<const std::vector<T>>(std::move(grown));
    }
    void clear() noexcept { values_ = nullptr; }

    friend bool operator==(const SharedArray& a, const SharedArray& b) {
        return a.values_ == b.values_ || a.values() == b.values();
    }

private:
    static const std::vector<T>& none() noexcept {
        static const std::vector<T> empty;
        return empty;
    }

    std::shared_ptr<const std::vector<T>> values_;
};

}  // namespace sonoscribe
