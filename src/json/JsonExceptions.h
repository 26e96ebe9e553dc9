#pragma once
// Exceptions the JSON reader raises on misuse (never on malformed input, which is an Error).

#include <stdexcept>
#include <string>

// An index or range outside a collection ("... index (5) beyond bounds (3)").
struct JsonRangeException : std::out_of_range {
    using std::out_of_range::out_of_range;
};

// A bad argument: invalid parse options, a missing pointer, a none key or value.
struct JsonInvalidArgumentException : std::invalid_argument {
    using std::invalid_argument::invalid_argument;
};

// A call that breaks the object's state: mutating an immutable collection, parsing with a
// decoder that has no parse state.
struct JsonInternalInconsistencyException : std::logic_error {
    using std::logic_error::logic_error;
};

// Memory for a growing collection could not be had.
struct JsonMallocException : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A mutable collection was changed while it was being enumerated.
struct JsonMutationDuringEnumerationException : std::runtime_error {
    using std::runtime_error::runtime_error;
};
