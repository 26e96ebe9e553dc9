#pragma once
// Walks any indexed collection through the collection's own count and element-at-index
// operations. It does not copy the collection: every step asks for the count anew, so elements
// added behind the position are still handed out.

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

template <class T>
class StandardEnumerator {
public:
    using CountSelector = std::function<size_t()>;
    using ObjectAtIndexSelector = std::function<T(size_t)>;

    // collection keeps the walked collection alive; the two operations are bound once, here.
    static std::shared_ptr<StandardEnumerator> initWithCollectionCountSelectorObjectAtIndexSelector(
        std::shared_ptr<const void> collection, CountSelector count, ObjectAtIndexSelector objectAtIndex) {
        return std::shared_ptr<StandardEnumerator>(
            new StandardEnumerator(std::move(collection), std::move(count), std::move(objectAtIndex)));
    }

    // The next element, or an empty T (null) at the end.
    T nextObject() {
        if (position_ >= count_()) return T{};
        return objectAtIndex_(position_++);
    }

    // Every element from the position to the end; the enumerator is then at the end.
    std::vector<T> allObjects() {
        std::vector<T> all;
        while (T next = nextObject()) all.push_back(std::move(next));
        return all;
    }

private:
    StandardEnumerator(std::shared_ptr<const void> collection, CountSelector count, ObjectAtIndexSelector objectAtIndex)
        : collection_(std::move(collection)), count_(std::move(count)), objectAtIndex_(std::move(objectAtIndex)) {}

    std::shared_ptr<const void> collection_;
    CountSelector count_;
    ObjectAtIndexSelector objectAtIndex_;
    uint64_t position_ = 0;
};
