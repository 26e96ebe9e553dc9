// Arrays and dictionaries: capacities, probing without tombstones (checked against std::map on
// colliding keys), mutation rules and their exception texts, copies and enumeration.

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "JsonTestSupport.h"

namespace {

TEST(JsonDictionaryCapacity, FollowsTheLoadRuleAndTheTable) {
    const struct {
        uint64_t count;
        uint64_t capacity;
    } table[] = {
        {0, 0},     {1, 3},     {3, 3},     {4, 7},       {6, 7},         {7, 13},         {10, 13},
        {20, 41},   {100, 191}, {1000, 1723}, {355569362, 472907251}, {355569363, 472907251}, {UINT64_MAX / 2, 472907251},
    };
    for (const auto& row : table) EXPECT_EQ(JsonDictionaryCapacityForCount(row.count), row.capacity) << row.count;
}

TEST(JsonDictionaryCapacity, ParsedAndGrownTables) {
    const JsonValue empty = objectFromJSONString("{}");
    EXPECT_EQ(empty.dictionary()->capacity(), 0u);
    EXPECT_EQ(empty.dictionary()->count(), 0u);
    EXPECT_TRUE(empty.dictionary()->objectForKey("a").isNone());

    const JsonValue four = mutableObjectFromJSONString(R"({"a":1,"b":2,"c":3,"d":4})");
    JsonDictionary& dictionary = *four.dictionary();
    EXPECT_EQ(dictionary.capacity(), 7u);
    dictionary.setObjectForKey(JsonValue::makeInteger(5), JsonValue::makeString("e"));
    dictionary.setObjectForKey(JsonValue::makeInteger(6), JsonValue::makeString("f"));
    EXPECT_EQ(dictionary.capacity(), 7u);
    dictionary.setObjectForKey(JsonValue::makeInteger(7), JsonValue::makeString("g"));  // 7 members need 9 slots
    EXPECT_EQ(dictionary.capacity(), 13u);
    EXPECT_EQ(dictionary.count(), 7u);
    for (int i = 0; i < 7; ++i) EXPECT_EQ(dictionary.objectForKey(std::string(1, char('a' + i))).longLongValue(), i + 1);
}

TEST(JsonDictionary, LaterDuplicateKeyWins) {
    const JsonValue value = objectFromJSONString(R"({"a":1,"b":2,"a":3,"b":{"x":[]},"a":"last"})");
    const JsonDictionary& dictionary = *value.dictionary();
    EXPECT_EQ(dictionary.count(), 2u);
    EXPECT_EQ(dictionary.objectForKey("a").stringView(), "last");
    EXPECT_EQ(dictionary.objectForKey("b").description(), R"({"x":[]})");
}

// Repeated keys leave a table sized for the keys that remain, as if each had come once.
TEST(JsonDictionary, RepeatedKeysLeaveATableSizedForTheDistinctKeys) {
    struct Row {
        const char* name;
        int members;
        int distinct;  // keys k0 .. k(distinct-1), repeated in turn
        bool mutableResult;
    };
    const Row rows[] = {
        {"one key 10,000 times", 10000, 1, false},
        {"one key 10,000 times, mutable", 10000, 1, true},
        {"50 keys 200 times each", 10000, 50, false},
        {"a small table in the parse's blocks", 40, 4, false},
        {"no repeats", 500, 500, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::string text = "{";
        for (int i = 0; i < row.members; ++i) {
            text += (i ? ",\"k" : "\"k") + std::to_string(i % row.distinct) + "\":" + std::to_string(i);
        }
        text += "}";
        const JsonValue value = row.mutableResult ? mutableObjectFromJSONString(text) : objectFromJSONString(text);
        ASSERT_TRUE(value.isDictionary());
        JsonDictionary& dictionary = *value.dictionary();
        EXPECT_EQ(dictionary.count(), static_cast<uint64_t>(row.distinct));
        EXPECT_EQ(dictionary.capacity(), JsonDictionaryCapacityForCount(row.distinct));
        EXPECT_EQ(dictionary.isMutable(), row.mutableResult);
        for (int k = 0; k < row.distinct; ++k) {
            // The last member of each key: the largest i with i % distinct == k.
            const int last = (row.members - 1) - ((row.members - 1 - k) % row.distinct);
            EXPECT_EQ(dictionary.objectForKey("k" + std::to_string(k)).longLongValue(), last) << k;
        }
        uint64_t enumerated = 0;
        for (const JsonValue& key : dictionary) enumerated += key.isString() ? 1 : 0;
        EXPECT_EQ(enumerated, static_cast<uint64_t>(row.distinct));
        if (row.mutableResult) {
            dictionary.setObjectForKey(JsonValue::makeInteger(-1), JsonValue::makeString("new"));
            EXPECT_EQ(dictionary.count(), static_cast<uint64_t>(row.distinct) + 1);
            EXPECT_EQ(dictionary.objectForKey("new").longLongValue(), -1);
        }
    }
}

// Keys whose hashes agree modulo 7, 13 and 41, so they pile up in one probe cluster at every
// capacity the test reaches.
std::vector<std::string> collidingKeys(size_t n) {
    std::vector<std::string> keys;
    const uint64_t modulus = 7 * 13 * 41;
    const uint64_t target = jsonStringKeyHash("k0") % modulus;
    keys.push_back("k0");
    for (int i = 1; keys.size() < n; ++i) {
        std::string key = "k" + std::to_string(i);
        if (jsonStringKeyHash(key) % modulus == target) keys.push_back(key);
    }
    return keys;
}

void expectSameAs(const JsonDictionary& dictionary, const std::map<std::string, int64_t>& model,
                  const std::vector<std::string>& pool, int step) {
    ASSERT_EQ(dictionary.count(), model.size()) << "step " << step;
    for (const std::string& key : pool) {
        auto found = model.find(key);
        const JsonValue& value = dictionary.objectForKey(key);
        if (found == model.end()) {
            EXPECT_TRUE(value.isNone()) << key << " step " << step;
        } else {
            EXPECT_EQ(value.longLongValue(), found->second) << key << " step " << step;
            EXPECT_TRUE(dictionary.objectForKey(JsonValue::makeString(key)) == value);
        }
    }
    std::set<std::string> enumerated;
    for (const JsonValue& key : dictionary) enumerated.insert(key.string());
    EXPECT_EQ(enumerated.size(), model.size());
}

TEST(JsonDictionary, CollidingKeysMatchAStdMapThroughSetsAndRemovals) {
    const std::vector<std::string> pool = collidingKeys(24);
    std::mt19937 random(20240611);
    const JsonValue value = mutableObjectFromJSONString("{}");
    JsonDictionary& dictionary = *value.dictionary();
    std::map<std::string, int64_t> model;
    for (int step = 0; step < 3000; ++step) {
        const std::string& key = pool[random() % pool.size()];
        if (random() % 3 == 0) {
            dictionary.removeObjectForKey(JsonValue::makeString(key));
            model.erase(key);
        } else {
            dictionary.setObjectForKey(JsonValue::makeInteger(step), JsonValue::makeString(key));
            model[key] = step;
        }
        expectSameAs(dictionary, model, pool, step);
        if (HasFailure()) return;
    }
}

TEST(JsonDictionary, ParsedCollidingKeysWithDuplicatesMatchAStdMap) {
    const std::vector<std::string> pool = collidingKeys(12);
    std::string text = "{";
    std::map<std::string, int64_t> model;
    for (int i = 0; i < 30; ++i) {
        const std::string& key = pool[(i * 7) % pool.size()];
        text += (i ? ",\"" : "\"") + key + "\":" + std::to_string(i);
        model[key] = i;
    }
    text += "}";
    const JsonValue value = objectFromJSONString(text);
    ASSERT_TRUE(value.isDictionary());
    expectSameAs(*value.dictionary(), model, pool, 0);
    EXPECT_EQ(value.dictionary()->capacity(), JsonDictionaryCapacityForCount(model.size()));
}

TEST(JsonArray, MutableArrayMatchesAVector) {
    const JsonValue value = mutableObjectFromJSONString("[0,1,2]");
    JsonArray& array = *value.array();
    std::vector<int64_t> model = {0, 1, 2};
    std::mt19937 random(7);
    for (int step = 0; step < 400; ++step) {
        const uint64_t r = random();
        if (r % 4 == 0 && !model.empty()) {
            const uint64_t at = r % model.size();
            array.removeObjectAtIndex(at);
            model.erase(model.begin() + static_cast<long>(at));
        } else if (r % 4 == 1 && !model.empty()) {
            const uint64_t at = r % model.size();
            array.replaceObjectAtIndexWithObject(at, JsonValue::makeInteger(step));
            model[at] = step;
        } else {
            const uint64_t at = r % (model.size() + 1);  // at == count appends
            array.insertObjectAtIndex(JsonValue::makeInteger(step), at);
            model.insert(model.begin() + static_cast<long>(at), step);
        }
        ASSERT_EQ(array.count(), model.size());
        for (uint64_t i = 0; i < model.size(); ++i) ASSERT_EQ(array.objectAtIndex(i).longLongValue(), model[i]);
    }
}

struct Misuse {
    const char* name;
    std::function<void()> call;
    const char* kind;  // which exception
    std::string message;
};

TEST(JsonCollections, MisuseRaisesWithTheExpectedTexts) {
    const JsonValue frozen = objectFromJSONString(R"([1,2,3])");
    const JsonValue frozenDictionary = objectFromJSONString(R"({"k":1})");
    const JsonValue array = mutableObjectFromJSONString(R"([1,2,3])");
    const JsonValue dictionary = mutableObjectFromJSONString(R"({"k":1})");
    const JsonValue one = JsonValue::makeInteger(1);
    const JsonValue key = JsonValue::makeString("k");
    JsonValue buffer[8];

    const Misuse cases[] = {
        {"frozen insert", [&] { frozen.array()->insertObjectAtIndex(one, 0); }, "inconsistency",
         "*** -[JsonArray insertObjectAtIndex]: mutating method sent to immutable object"},
        // The mutability check comes before the none check.
        {"frozen insert none", [&] { frozen.array()->insertObjectAtIndex(JsonValue(), 0); }, "inconsistency",
         "*** -[JsonArray insertObjectAtIndex]: mutating method sent to immutable object"},
        {"frozen remove", [&] { frozen.array()->removeObjectAtIndex(0); }, "inconsistency",
         "*** -[JsonArray removeObjectAtIndex]: mutating method sent to immutable object"},
        {"frozen replace", [&] { frozen.array()->replaceObjectAtIndexWithObject(0, one); }, "inconsistency",
         "*** -[JsonArray replaceObjectAtIndexWithObject]: mutating method sent to immutable object"},
        {"frozen set", [&] { frozenDictionary.dictionary()->setObjectForKey(one, key); }, "inconsistency",
         "*** -[JsonDictionary setObjectForKey]: mutating method sent to immutable object"},
        {"frozen remove key", [&] { frozenDictionary.dictionary()->removeObjectForKey(key); }, "inconsistency",
         "*** -[JsonDictionary removeObjectForKey]: mutating method sent to immutable object"},
        {"index at count", [&] { frozen.array()->objectAtIndex(3); }, "range",
         "*** -[JsonArray objectAtIndex]: index (3) beyond bounds (3)"},
        {"insert past count", [&] { array.array()->insertObjectAtIndex(one, 4); }, "range",
         "*** -[JsonArray insertObjectAtIndex]: index (4) beyond bounds (4)"},
        // The none check comes before the index check.
        {"insert none", [&] { array.array()->insertObjectAtIndex(JsonValue(), 9); }, "argument",
         "*** -[JsonArray insertObjectAtIndex]: attempt to insert nil"},
        {"replace none", [&] { array.array()->replaceObjectAtIndexWithObject(0, JsonValue()); }, "argument",
         "*** -[JsonArray replaceObjectAtIndexWithObject]: attempt to insert nil"},
        {"replace past count", [&] { array.array()->replaceObjectAtIndexWithObject(3, one); }, "range",
         "*** -[JsonArray replaceObjectAtIndexWithObject]: index (3) beyond bounds (3)"},
        {"remove past count", [&] { array.array()->removeObjectAtIndex(7); }, "range",
         "*** -[JsonArray removeObjectAtIndex]: index (7) beyond bounds (3)"},
        {"range past count", [&] { frozen.array()->getObjectsRange(buffer, {2, 3}); }, "range",
         "*** -[JsonArray getObjectsRange]: index (5) beyond bounds (3)"},
        {"range without buffer", [&] { frozen.array()->getObjectsRange(nullptr, {0, 2}); }, "range",
         "*** -[JsonArray getObjectsRange]: pointer to objects array is NULL but range length is 2"},
        {"none key", [&] { dictionary.dictionary()->setObjectForKey(one, JsonValue()); }, "argument",
         "*** -[JsonDictionary setObjectForKey]: attempt to insert nil key"},
        {"none value", [&] { dictionary.dictionary()->setObjectForKey(JsonValue(), key); }, "argument",
         "*** -[JsonDictionary setObjectForKey]: attempt to insert nil value (key: \"k\")"},
        {"remove none key", [&] { dictionary.dictionary()->removeObjectForKey(JsonValue()); }, "argument",
         "*** -[JsonDictionary removeObjectForKey]: attempt to remove nil key"},
    };
    for (const Misuse& c : cases) {
        std::string text;
        if (std::string(c.kind) == "inconsistency") text = caught<JsonInternalInconsistencyException>(c.call);
        if (std::string(c.kind) == "range") text = caught<JsonRangeException>(c.call);
        if (std::string(c.kind) == "argument") text = caught<JsonInvalidArgumentException>(c.call);
        EXPECT_EQ(text, c.message) << c.name;
    }
    // Nothing above changed the collections.
    EXPECT_EQ(array.description(), "[1,2,3]");
    EXPECT_EQ(dictionary.description(), R"({"k":1})");
}

TEST(JsonCollections, CopiesAndMutableCopies) {
    const JsonValue frozen = objectFromJSONString(R"([1,{"a":[2]}])");
    EXPECT_TRUE(frozen.copy().isSameObject(frozen));
    const JsonValue thawed = frozen.array()->mutableCopy();
    EXPECT_FALSE(thawed.isSameObject(frozen));
    EXPECT_TRUE(thawed.array()->isMutable());
    EXPECT_EQ(thawed, frozen);
    thawed.array()->insertObjectAtIndex(JsonValue::makeNull(), 2);
    EXPECT_EQ(frozen.description(), R"([1,{"a":[2]}])");  // the original is untouched

    const JsonValue refrozen = thawed.copy();
    EXPECT_FALSE(refrozen.isSameObject(thawed));
    EXPECT_FALSE(refrozen.array()->isMutable());
    EXPECT_EQ(refrozen.description(), R"([1,{"a":[2]},null])");

    const JsonValue dictionary = frozen.array()->objectAtIndex(1);
    EXPECT_TRUE(dictionary.copy().isSameObject(dictionary));
    const JsonValue mutableDictionary = dictionary.dictionary()->mutableCopy();
    mutableDictionary.dictionary()->setObjectForKey(JsonValue::makeBoolean(true), JsonValue::makeString("b"));
    EXPECT_EQ(dictionary.dictionary()->count(), 1u);
    const JsonValue frozenAgain = mutableDictionary.copy();
    EXPECT_FALSE(frozenAgain.dictionary()->isMutable());
    EXPECT_EQ(frozenAgain, mutableDictionary);

    // A mutable key is copied into the dictionary, so changing the original leaves the key alone.
    const JsonValue keyArray = mutableObjectFromJSONString("[1]");
    mutableDictionary.dictionary()->setObjectForKey(JsonValue::makeInteger(9), keyArray);
    keyArray.array()->insertObjectAtIndex(JsonValue::makeInteger(2), 1);
    EXPECT_EQ(mutableDictionary.dictionary()->objectForKey(objectFromJSONString("[1]")).longLongValue(), 9);
}

TEST(JsonCollections, EnumerationAndItsMutationCheck) {
    const JsonValue array = mutableObjectFromJSONString("[" + std::string("0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19") + "]");
    int64_t expected = 0;
    for (const JsonValue& element : *array.array()) EXPECT_EQ(element.longLongValue(), expected++);
    EXPECT_EQ(expected, 20);

    auto mutateDuring = [&] {
        for (const JsonValue& element : *array.array()) {
            if (element.longLongValue() == 3) array.array()->removeObjectAtIndex(0);
        }
    };
    EXPECT_EQ(caught<JsonMutationDuringEnumerationException>(mutateDuring),
              "*** Collection <JsonArray> was mutated while being enumerated.");

    const JsonValue dictionary = mutableObjectFromJSONString(R"({"a":1,"b":2,"c":3})");
    auto grow = [&] {
        for (const JsonValue& key : *dictionary.dictionary()) {
            (void)key;
            dictionary.dictionary()->setObjectForKey(JsonValue::makeInteger(0), JsonValue::makeString("d"));
        }
    };
    EXPECT_EQ(caught<JsonMutationDuringEnumerationException>(grow),
              "*** Collection <JsonDictionary> was mutated while being enumerated.");

    // The enumerator and getObjectsAndKeys walk the slots in the same order.
    JsonDictionaryEnumerator enumerator = dictionary.dictionary()->keyEnumerator();
    const JsonValue first = enumerator.nextObject();
    const std::vector<JsonValue> rest = enumerator.allObjects();
    EXPECT_EQ(rest.size(), 3u);
    EXPECT_TRUE(enumerator.nextObject().isNone());
    JsonValue keys[4];
    JsonValue objects[4];
    dictionary.dictionary()->getObjectsAndKeys(objects, keys);
    EXPECT_EQ(keys[0], first);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(keys[i + 1], rest[static_cast<size_t>(i)]);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(objects[i], dictionary.dictionary()->objectForKey(keys[i]));
}

TEST(JsonValues, NumbersCompareByValueAcrossTheirForms) {
    const JsonValue value = objectFromJSONString("[1, 1.0, 18446744073709551615, -1, 0.5, -0, 0]");
    const JsonArray& a = *value.array();
    EXPECT_EQ(a.objectAtIndex(0), a.objectAtIndex(1));
    EXPECT_EQ(a.objectAtIndex(0).hash(), a.objectAtIndex(1).hash());
    EXPECT_FALSE(a.objectAtIndex(2) == a.objectAtIndex(3));  // 2^64-1 is not -1
    EXPECT_EQ(a.objectAtIndex(2).unsignedLongLongValue(), UINT64_MAX);
    EXPECT_EQ(a.objectAtIndex(5), a.objectAtIndex(6));
    EXPECT_EQ(a.objectAtIndex(5).hash(), a.objectAtIndex(6).hash());
    EXPECT_FALSE(a.objectAtIndex(4) == a.objectAtIndex(6));
}

}  // namespace
