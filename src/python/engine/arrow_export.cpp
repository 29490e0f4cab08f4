#include "engine/arrow_export.hpp"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <vector>

namespace skarvel::py {

namespace {

// The structures of Arrow's C data interface, as Arrow defines them (an ABI, not a
// library: they are declared by every producer).
constexpr std::int64_t kArrowNullable = 2;

struct ArrowSchema {
    const char* format;
    const char* name;
    const char* metadata;
    std::int64_t flags;
    std::int64_t n_children;
    ArrowSchema** children;
    ArrowSchema* dictionary;
    void (*release)(ArrowSchema*);
    void* private_data;
};

struct ArrowArray {
    std::int64_t length;
    std::int64_t null_count;
    std::int64_t offset;
    std::int64_t n_buffers;
    std::int64_t n_children;
    const void** buffers;
    ArrowArray** children;
    ArrowArray* dictionary;
    void (*release)(ArrowArray*);
    void* private_data;
};

// What an exported schema owns: its format and name texts, and its children.
struct SchemaData {
    std::string format;
    std::string name;
    std::vector<ArrowSchema*> children;
};

// What an exported array owns: its buffers and their pointers, and its children.
struct ArrayData {
    std::vector<std::vector<std::uint8_t>> buffers;
    std::vector<const void*> pointers;
    std::vector<ArrowArray*> children;
};

void release_schema(ArrowSchema* schema) {
    auto* data = static_cast<SchemaData*>(schema->private_data);
    for (ArrowSchema* child : data->children) {
        if (child->release != nullptr) child->release(child);
        delete child;
    }
    delete data;
    schema->release = nullptr;
}

void release_array(ArrowArray* array) {
    auto* data = static_cast<ArrayData*>(array->private_data);
    for (ArrowArray* child : data->children) {
        if (child->release != nullptr) child->release(child);
        delete child;
    }
    delete data;
    array->release = nullptr;
}

void fill_schema(ArrowSchema& schema, std::string format, std::string name,
                 std::vector<ArrowSchema*> children) {
    auto* data = new SchemaData{std::move(format), std::move(name), std::move(children)};
    schema = ArrowSchema{data->format.c_str(),
                         data->name.c_str(),
                         nullptr,
                         kArrowNullable,
                         static_cast<std::int64_t>(data->children.size()),
                         data->children.empty() ? nullptr : data->children.data(),
                         nullptr,
                         release_schema,
                         data};
}

// An array of `length` rows over `buffers` (an empty buffer is an absent one).
void fill_array(ArrowArray& array, std::int64_t length, std::int64_t null_count,
                std::vector<std::vector<std::uint8_t>> buffers, std::vector<ArrowArray*> children,
                std::vector<bool> absent) {
    auto* data = new ArrayData{std::move(buffers), {}, std::move(children)};
    for (std::size_t i = 0; i < data->buffers.size(); ++i) {
        // A buffer that is present points somewhere, even when it holds nothing.
        if (!absent[i] && data->buffers[i].empty()) data->buffers[i].push_back(0);
        data->pointers.push_back(absent[i] ? nullptr : data->buffers[i].data());
    }
    array = ArrowArray{length,
                       null_count,
                       0,
                       static_cast<std::int64_t>(data->pointers.size()),
                       static_cast<std::int64_t>(data->children.size()),
                       data->pointers.empty() ? nullptr : data->pointers.data(),
                       data->children.empty() ? nullptr : data->children.data(),
                       nullptr,
                       release_array,
                       data};
}

// Arrow's validity bitmap of the rows whose kind is `wanted` (or, for numbers, either number
// kind), and how many rows are null.
std::vector<std::uint8_t> validity(const std::vector<CellKind>& kinds, bool numbers,
                                   std::int64_t& nulls) {
    std::vector<std::uint8_t> bits((kinds.size() + 7) / 8, 0);
    nulls = 0;
    for (std::size_t r = 0; r < kinds.size(); ++r) {
        const bool valid = numbers ? kinds[r] == CellKind::kInt || kinds[r] == CellKind::kFloat
                                   : kinds[r] == CellKind::kText;
        if (valid) {
            bits[r / 8] |= static_cast<std::uint8_t>(1u << (r % 8));
        } else {
            ++nulls;
        }
    }
    return bits;
}

// A buffer of `count` items of T, written in place by `write` (operator new aligns the
// octets for any scalar type).
template <typename T, typename Write>
std::vector<std::uint8_t> buffer_of(std::size_t count, Write&& write) {
    std::vector<std::uint8_t> out(count * sizeof(T));
    write(std::span<T>(reinterpret_cast<T*>(out.data()), count));
    return out;
}

// One column as a child array and its schema.
void export_column(const TypedColumn& column, const std::string& name, std::size_t rows,
                   ArrowSchema& schema, ArrowArray& array) {
    const auto length = static_cast<std::int64_t>(rows);
    std::vector<CellKind> kinds(rows);
    column.write_kinds(kinds);
    std::int64_t nulls = 0;
    const CellCounts& counts = column.counts();
    if (counts.texts != 0) {
        auto offsets = buffer_of<std::int64_t>(
            rows + 1, [&](std::span<std::int64_t> out) { column.write_text_offsets(out); });
        const std::string_view bytes = column.text_bytes();
        std::vector<std::uint8_t> data(bytes.begin(), bytes.end());
        std::vector<std::uint8_t> bits = validity(kinds, false, nulls);
        fill_schema(schema, "U", name, {});
        fill_array(array, length, nulls, {std::move(bits), std::move(offsets), std::move(data)}, {},
                   {nulls == 0, false, false});
        return;
    }
    if (counts.floats + counts.ints == 0) {
        fill_schema(schema, "n", name, {});
        fill_array(array, length, length, {}, {}, {});
        return;
    }
    if (column.type(rows) == ColumnType::kInt64) {
        // Every row has an int: cell r is row r's.
        auto ints = buffer_of<std::int64_t>(rows, [&](std::span<std::int64_t> out) {
            for (std::size_t r = 0; r < rows; ++r) {
                out[r] = static_cast<std::int64_t>(column.number(r));
            }
        });
        fill_schema(schema, "l", name, {});
        fill_array(array, length, 0, {{}, std::move(ints)}, {}, {true, false});
        return;
    }
    auto numbers =
        buffer_of<double>(rows, [&](std::span<double> out) { column.write_numbers(out); });
    std::vector<std::uint8_t> bits = validity(kinds, true, nulls);
    fill_schema(schema, "g", name, {});
    fill_array(array, length, nulls, {std::move(bits), std::move(numbers)}, {},
               {nulls == 0, false});
}

void schema_capsule_release(PyObject* capsule) {
    auto* schema = static_cast<ArrowSchema*>(PyCapsule_GetPointer(capsule, "arrow_schema"));
    if (schema == nullptr) return;
    if (schema->release != nullptr) schema->release(schema);
    delete schema;
}

void array_capsule_release(PyObject* capsule) {
    auto* array = static_cast<ArrowArray*>(PyCapsule_GetPointer(capsule, "arrow_array"));
    if (array == nullptr) return;
    if (array->release != nullptr) array->release(array);
    delete array;
}

}  // namespace

PyObject* arrow_capsules(const ColumnSet& columns) {
    const std::size_t rows = columns.rows();
    auto schema = std::make_unique<ArrowSchema>();
    auto array = std::make_unique<ArrowArray>();
    try {
        std::vector<ArrowSchema*> child_schemas;
        std::vector<ArrowArray*> child_arrays;
        {
            // Children made so far belong to the parents as soon as these are filled; until
            // then they are released here if making another fails.
            std::vector<std::unique_ptr<ArrowSchema>> made_schemas;
            std::vector<std::unique_ptr<ArrowArray>> made_arrays;
            for (std::size_t c = 0; c < columns.size(); ++c) {
                made_schemas.push_back(std::make_unique<ArrowSchema>());
                made_arrays.push_back(std::make_unique<ArrowArray>());
                made_schemas.back()->release = nullptr;
                made_arrays.back()->release = nullptr;
                export_column(columns.at(c), columns.name(c), rows, *made_schemas.back(),
                              *made_arrays.back());
            }
            for (auto& made : made_schemas) child_schemas.push_back(made.release());
            for (auto& made : made_arrays) child_arrays.push_back(made.release());
        }
        fill_schema(*schema, "+s", "", std::move(child_schemas));
        fill_array(*array, static_cast<std::int64_t>(rows), 0, {{}}, std::move(child_arrays),
                   {true});
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    PyObject* schema_capsule = PyCapsule_New(schema.get(), "arrow_schema", schema_capsule_release);
    if (schema_capsule == nullptr) {
        schema->release(schema.get());
        return nullptr;
    }
    schema.release();
    PyObject* array_capsule = PyCapsule_New(array.get(), "arrow_array", array_capsule_release);
    if (array_capsule == nullptr) {
        Py_DECREF(schema_capsule);
        array->release(array.get());
        return nullptr;
    }
    array.release();
    return Py_BuildValue("(NN)", schema_capsule, array_capsule);
}

}  // namespace skarvel::py
