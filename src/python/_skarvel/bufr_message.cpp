// The Python class BufrMessage: a read-only view of one parsed message's header.
#include <string>

#include "support/conversions.hpp"
#include "support/py_type.hpp"
#include "support/record_object.hpp"

namespace skarvel::py {

namespace {

const BufrMessage& message_of(PyObject* self) { return record_of<BufrMessage>(self); }

PyObject* to_python(std::size_t value) { return PyLong_FromSize_t(value); }
PyObject* to_python(std::uint16_t value) { return PyLong_FromLong(value); }
PyObject* to_python(std::uint8_t value) { return PyLong_FromLong(value); }
PyObject* to_python(bool value) { return PyBool_FromLong(value ? 1 : 0); }
PyObject* to_python(const std::vector<DescriptorCode>& codes) { return code_list(codes); }

// Every attribute read builds a new Python object from the stored field.
template <auto Field>
PyObject* get_field(PyObject* self, void* /*closure*/) {
    return to_python(message_of(self).*Field);
}

// clang-format off
#define SKARVEL_MESSAGE_FIELD(name) \
    {#name, get_field<&BufrMessage::name>, nullptr, nullptr, nullptr}
// clang-format on

PyGetSetDef message_getset[] = {
    SKARVEL_MESSAGE_FIELD(total_length),
    SKARVEL_MESSAGE_FIELD(edition),
    SKARVEL_MESSAGE_FIELD(section1_length),
    SKARVEL_MESSAGE_FIELD(master_table_number),
    SKARVEL_MESSAGE_FIELD(originating_centre),
    SKARVEL_MESSAGE_FIELD(originating_subcentre),
    SKARVEL_MESSAGE_FIELD(update_sequence_number),
    SKARVEL_MESSAGE_FIELD(local_section_present),
    SKARVEL_MESSAGE_FIELD(data_category),
    SKARVEL_MESSAGE_FIELD(international_data_subcategory),
    SKARVEL_MESSAGE_FIELD(local_data_subcategory),
    SKARVEL_MESSAGE_FIELD(master_tables_version_number),
    SKARVEL_MESSAGE_FIELD(local_tables_version_number),
    SKARVEL_MESSAGE_FIELD(typical_year),
    SKARVEL_MESSAGE_FIELD(typical_month),
    SKARVEL_MESSAGE_FIELD(typical_day),
    SKARVEL_MESSAGE_FIELD(typical_hour),
    SKARVEL_MESSAGE_FIELD(typical_minute),
    SKARVEL_MESSAGE_FIELD(typical_second),
    SKARVEL_MESSAGE_FIELD(section2_length),
    SKARVEL_MESSAGE_FIELD(section3_length),
    SKARVEL_MESSAGE_FIELD(number_of_subsets),
    SKARVEL_MESSAGE_FIELD(observed_data),
    SKARVEL_MESSAGE_FIELD(compressed_data),
    SKARVEL_MESSAGE_FIELD(unexpanded_descriptors),
    SKARVEL_MESSAGE_FIELD(section4_length),
    SKARVEL_MESSAGE_FIELD(section4_data_offset),
    SKARVEL_MESSAGE_FIELD(section4_data_length),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#undef SKARVEL_MESSAGE_FIELD

PyObject* message_repr(PyObject* self) {
    const BufrMessage& m = message_of(self);
    std::string text = "BufrMessage(edition=" + std::to_string(m.edition) +
                       ", length=" + std::to_string(m.total_length) +
                       ", subsets=" + std::to_string(m.number_of_subsets) + ", descriptors=[";
    for (std::size_t i = 0; i < m.unexpanded_descriptors.size(); ++i) {
        if (i > 0) text += ", ";
        text += std::to_string(m.unexpanded_descriptors[i]);
    }
    text += "])";
    return str_from(text);
}

}  // namespace

template <>
PyTypeObject* record_type<BufrMessage>() {
    static PyTypeObject type = blank_type();
    // No tp_new: instances come only from the parsing functions.
    return ready_type(type, {.name = "_skarvel.BufrMessage",
                             .basicsize = sizeof(RecordObject<BufrMessage>),
                             .dealloc = record_dealloc<BufrMessage>,
                             .repr = message_repr,
                             .getset = message_getset});
}

}  // namespace skarvel::py
