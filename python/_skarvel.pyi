"""Type stubs of _skarvel, the exact lower layer of skarvel: strict parsing of edition 4
messages, BUFR tables, descriptor expansion and decoding into DecodedValue records.

The module reads WMO FM-94 BUFR messages of edition 4 only and accepts them only when they are
well formed; the ``skarvel`` package is the tolerant reader of real files (editions 2 to 4,
bulletin headers, damaged messages) and uses the header and table classes of this module.

- ``parse_bytes``, ``parse_file``, ``parse_all_bytes`` and ``parse_all_file`` turn raw octets
  into ``BufrMessage`` headers without decoding any data.
- ``TableSet`` holds BUFR Table B, Table D and code tables, loaded from an ecCodes table
  directory, from an ecCodes definitions root for one message's header, or from the WMO BUFR4
  CSV files.
- ``decode_values``, ``decode_values_with_tables`` and ``decode_values_with_definitions`` decode
  the data of the first message in a buffer into one flat list of ``DecodedValue``.
- ``expand_descriptors`` and ``TableSet.expand`` flatten descriptor lists for inspection.

Descriptors travel as integer codes F * 100000 + X * 1000 + Y (0-01-001 is 1001, 3-01-011 is
301011); ``Descriptor`` converts between a code and its F-X-Y triple.

Errors: every malformed message, unreadable or malformed table file and failed decode raises
``ValueError`` with a short description (for example "missing BUFR marker" or "descriptor
307080 was not found in Table D"), and no partial result is returned. ``parse_file`` and
``parse_all_file`` raise ``OSError`` when they cannot read their file; an argument of the wrong
type raises ``TypeError`` (``data`` must be ``bytes``, paths must be ``str``) and an integer
out of its range ``OverflowError``.

Every call runs to its end holding the interpreter lock and keeps nothing between calls: the
functions that take a directory load their tables from disk each time, so a caller decoding
many messages loads a ``TableSet`` once and uses ``decode_values_with_tables``.

>>> import _skarvel                                                         # doctest: +SKIP
>>> raw = open("synop.bufr", "rb").read()                                   # doctest: +SKIP
>>> message = _skarvel.parse_bytes(raw)                                     # doctest: +SKIP
>>> root = "/usr/share/eccodes/definitions"                                 # doctest: +SKIP
>>> tables = _skarvel.TableSet.from_definitions(root, message)              # doctest: +SKIP
>>> values = _skarvel.decode_values_with_tables(raw, tables)                # doctest: +SKIP
>>> values[21]                                                              # doctest: +SKIP
DecodedValue(012101, Some(276.45))
"""

from collections.abc import Sequence
from typing import final

@final
class BufrMessage:
    """The header of one parsed message; instances come from the parsing functions.

    It holds every header field of sections 0 to 5, the unexpanded descriptors of section 3
    and where the data of section 4 lie, copied out of the message: the message's octets are
    not kept. All attributes are read-only. Lengths and offsets are in octets, counted from the
    message's own "BUFR" marker even when it was found inside a longer buffer. The class has no
    constructor of its own (calling it raises ``TypeError``).

    >>> message = _skarvel.parse_file("synop.bufr")                         # doctest: +SKIP
    >>> message                                                             # doctest: +SKIP
    BufrMessage(edition=4, length=231, subsets=1, descriptors=[307080])
    >>> message.originating_centre, message.master_tables_version_number    # doctest: +SKIP
    (98, 38)
    >>> message.typical_year, message.typical_month, message.typical_day    # doctest: +SKIP
    (2026, 12, 7)
    """

    @property
    def total_length(self) -> int:
        """Total length of the message in octets, as declared in section 0 (octets 5-7)."""
    @property
    def edition(self) -> int:
        """BUFR edition number (section 0, octet 8); always 4, as other editions are refused."""
    @property
    def section1_length(self) -> int:
        """Length of section 1 in octets, as it declares it (22 when it has no local additions)."""
    @property
    def master_table_number(self) -> int:
        """BUFR master table number (section 1, octet 4): 0 for the meteorological tables."""
    @property
    def originating_centre(self) -> int:
        """Originating centre (section 1, octets 5-6), a number of Common Code table C-11,
        such as 98 for ECMWF; it also picks the local tables."""
    @property
    def originating_subcentre(self) -> int:
        """Originating sub-centre (section 1, octets 7-8), defined by the centre; often 0."""
    @property
    def update_sequence_number(self) -> int:
        """Update sequence number (section 1, octet 9): 0 for an original message, raised by
        one for each update of it."""
    @property
    def local_section_present(self) -> bool:
        """True when the optional section 2 is present: section 1, octet 10 is non-zero (any
        bit counts, not only the first)."""
    @property
    def data_category(self) -> int:
        """Data category from BUFR Table A (section 1, octet 11), such as 0 for surface data
        from land stations."""
    @property
    def international_data_subcategory(self) -> int:
        """International data sub-category (section 1, octet 12), from Common Code table C-13;
        255 when it is not defined."""
    @property
    def local_data_subcategory(self) -> int:
        """Local data sub-category (section 1, octet 13), defined by the originating centre."""
    @property
    def master_tables_version_number(self) -> int:
        """Version number of the master tables (section 1, octet 14); it selects the table
        directory ``bufr/tables/<master table number>/wmo/<version>`` of ecCodes definitions."""
    @property
    def local_tables_version_number(self) -> int:
        """Version number of the local tables (section 1, octet 15); 0 when the message uses
        the master tables alone."""
    @property
    def typical_year(self) -> int:
        """Year of the typical time of the data (section 1, octets 16-17), such as 2026."""
    @property
    def typical_month(self) -> int:
        """Month of the typical time (section 1, octet 18), 1 to 12."""
    @property
    def typical_day(self) -> int:
        """Day of the month of the typical time (section 1, octet 19)."""
    @property
    def typical_hour(self) -> int:
        """Hour of the typical time (section 1, octet 20), 0 to 23."""
    @property
    def typical_minute(self) -> int:
        """Minute of the typical time (section 1, octet 21)."""
    @property
    def typical_second(self) -> int:
        """Second of the typical time (section 1, octet 22)."""
    @property
    def section2_length(self) -> int:
        """Length of the optional section 2 in octets; 0 when the message has no section 2.
        The content of section 2 is not read."""
    @property
    def section3_length(self) -> int:
        """Length of section 3 in octets: its 7 fixed octets plus 2 per descriptor."""
    @property
    def number_of_subsets(self) -> int:
        """Number of data subsets in section 4 (section 3, octets 5-6)."""
    @property
    def observed_data(self) -> bool:
        """True for observed data, False for other data such as forecasts (bit 1, value
        0x80, of section 3, octet 7)."""
    @property
    def compressed_data(self) -> bool:
        """True when the subsets of section 4 are compressed (bit 2, value 0x40, of section 3,
        octet 7); the decode functions handle both forms and return the same layout."""
    @property
    def unexpanded_descriptors(self) -> list[int]:
        """The descriptors of section 3 as integer codes, in message order and before any
        expansion, such as ``[307080]``; a new list on every access."""
    @property
    def section4_length(self) -> int:
        """Length of section 4 in octets, including its 4-octet header."""
    @property
    def section4_data_offset(self) -> int:
        """Offset in octets from the start of the message to the first data octet of section 4,
        just past its length and reserved octet."""
    @property
    def section4_data_length(self) -> int:
        """Number of data octets in section 4: ``section4_length`` minus 4, or 0 when section 4
        is shorter than 4 octets."""

@final
class DecodedValue:
    """One decoded value of one subset; instances come from the decode functions.

    A decode returns one flat list: the values of subset 0 in the order the descriptors are
    read (Table D sequences and replications expanded on the way), then those of subset 1, and
    so on, whether the message is compressed or not. Besides Table B elements the list holds
    delayed replication factors before the values they replicate, associated fields (descriptor
    999999) before the elements they qualify, and operator markers (name "operator") for
    operators such as 2-22-000 that mark a place in the data. ``data`` gives each value in its
    most useful form; the other attributes keep what was read. The class has no constructor of
    its own.

    >>> values = _skarvel.decode_values_with_tables(raw, tables)            # doctest: +SKIP
    >>> values[21]                                                          # doctest: +SKIP
    DecodedValue(012101, Some(276.45))
    >>> values[21].name, values[21].raw, values[21].raw_value               # doctest: +SKIP
    ('TEMPERATURE/AIR TEMPERATURE', 27645, 276.45)
    >>> values[12], values[12].raw, values[12].data                         # doctest: +SKIP
    (DecodedValue(007031, None), 131071, None)
    """

    @property
    def descriptor(self) -> int:
        """Code of the descriptor that produced the value, such as 12101 for 0-12-101; 999999
        for an associated field, the operator's own code for an operator marker."""
    @property
    def name(self) -> str:
        """Element name from Table B, such as "TEMPERATURE/AIR TEMPERATURE"; "associatedField"
        for an associated field and "operator" for an operator marker."""
    @property
    def raw_value(self) -> float | None:
        """The value as a float. For a numeric element (raw + reference) / 10**scale in the
        Table B unit, None when the value is missing; for a text element its text sequence
        number (the running index of the text in the message times 1000 plus its width in
        octets, 1020.0 for a first text of 20 octets); ``raw`` for an associated field; 0.0 for
        an operator marker."""
    @property
    def raw(self) -> int | None:
        """The unsigned integer read from the bits, before reference and scale; it is kept for
        a missing value (all bits one in uncompressed data), and None for a text element."""
    @property
    def raw_text(self) -> str | None:
        """The text of a CCITT IA5 element, trailing white space removed and octets above 0x7F
        read as "?" (NUL octets are kept); None when the text is missing (all octets 0xFF) and
        for every other kind of value."""
    @property
    def raw_meaning(self) -> str | None:
        """The meaning of ``raw`` in the element's code table, such as "MIST" for present
        weather 10; for a flag-table element, the meanings of the bits set in ``raw`` (bit N of
        a W-bit value is 2**(W - N)) joined by "; " in bit order, and None when every bit is
        set (missing). None when the tables have no entry for it and for text, associated
        fields and operator markers."""
    @property
    def data(self) -> str | float | None:
        """The value in its most useful form: ``raw_text`` if present, else ``raw_meaning``,
        else ``raw_value``; None for a missing numeric value without a meaning."""

@final
class Descriptor:
    """An F-X-Y descriptor triple.

    Tables, decoding and expansion take and return descriptors as integer codes
    F * 100000 + X * 1000 + Y; this class builds a code from its triple and splits a code into
    one. Instances are immutable and compare by identity: compare ``fxy`` instead.

    >>> descriptor = _skarvel.Descriptor(3, 1, 11)                          # doctest: +SKIP
    >>> descriptor, descriptor.fxy                                          # doctest: +SKIP
    (Descriptor(301011), 301011)
    >>> descriptor = _skarvel.Descriptor.from_fxy(12101)                    # doctest: +SKIP
    >>> descriptor.f, descriptor.x, descriptor.y                            # doctest: +SKIP
    (0, 12, 101)
    """

    def __new__(cls, f: int, x: int, y: int) -> Descriptor:
        """The descriptor F-X-Y. Each part must be an int from 0 to 255 (``OverflowError``
        outside it, ``TypeError`` for another type); no narrower BUFR range is checked."""
    @staticmethod
    def from_fxy(code: int) -> Descriptor:
        """Split a code into F = code // 100000, X = code // 1000 % 100 and Y = code % 1000.

        ``code`` must lie in 0 to 4294967295 (``OverflowError`` otherwise). Each part keeps
        only its low 8 bits, so a Y above 255 wraps: ``from_fxy(1999).y`` is 231.

        >>> _skarvel.Descriptor.from_fxy(301011)                            # doctest: +SKIP
        Descriptor(301011)
        """
    @property
    def f(self) -> int:
        """F, the kind of descriptor: 0 element (Table B), 1 replication, 2 operator,
        3 sequence (Table D)."""
    @property
    def x(self) -> int:
        """X: the class of an element or sequence, the number of descriptors a replication
        repeats, or the operator of an operator descriptor."""
    @property
    def y(self) -> int:
        """Y: the entry within the class, the replication count (0 for delayed replication),
        or the operand of an operator."""
    @property
    def fxy(self) -> int:
        """The integer code F * 100000 + X * 1000 + Y, the form the rest of the module uses."""

@final
class ElementDefinition:
    """One Table B entry.

    It says how the values of an element descriptor are coded: a numeric value is read as
    ``width`` bits and becomes (raw + reference) / 10**scale in ``unit``; the unit "CCITT IA5"
    marks text. Instances are copies returned by ``TableSet.get_element``; the class has no
    constructor of its own.

    >>> element = tables.get_element(12101)                                 # doctest: +SKIP
    >>> element                                                             # doctest: +SKIP
    ElementDefinition(012101, name="TEMPERATURE/AIR TEMPERATURE")
    >>> element.unit, element.scale, element.reference, element.width      # doctest: +SKIP
    ('K', 2, 0, 16)
    """

    @property
    def code(self) -> int:
        """Descriptor code of the element (F = 0), such as 12101 for 0-12-101."""
    @property
    def abbreviation(self) -> str:
        """Short key name of the element from an ecCodes element table, such as
        "airTemperature"; empty for tables read from the WMO CSV files."""
    @property
    def element_type(self) -> str:
        """Value type word: as an ecCodes element table writes it ("long", "double", "table",
        "flag", "string"), or from the WMO CSV files derived from the unit ("code", "flags",
        "string", else "long"). Decoding does not use it: the unit tells text from numbers."""
    @property
    def name(self) -> str:
        """Element name, such as "TEMPERATURE/AIR TEMPERATURE"; it names decoded values."""
    @property
    def unit(self) -> str:
        """BUFR unit text, such as "K", "CODE TABLE" or "CCITT IA5"; exactly "CCITT IA5" marks
        character data."""
    @property
    def scale(self) -> int:
        """Scale: a value is divided by 10**scale after the reference is added; may be
        negative."""
    @property
    def reference(self) -> int:
        """Reference value added to the raw integer before scaling; may be negative."""
    @property
    def width(self) -> int:
        """Data width in bits (for text, 8 bits per character)."""

@final
class SequenceDefinition:
    """One Table D entry.

    A sequence descriptor stands for its members, in order. Instances are copies returned by
    ``TableSet.get_sequence``; the class has no constructor of its own.

    >>> sequence = tables.get_sequence(301011)                              # doctest: +SKIP
    >>> sequence                                                            # doctest: +SKIP
    SequenceDefinition(301011, members=[4001, 4002, 4003])
    """

    @property
    def code(self) -> int:
        """Descriptor code of the sequence (F = 3), such as 301011 for 3-01-011."""
    @property
    def members(self) -> list[int]:
        """The member descriptor codes in table order, not expanded (members may be sequences,
        replications or operators); a new list on every access."""

@final
class TableSet:
    """Table B, Table D and code tables, by descriptor code.

    A table set is built once by one of the static constructors and never changes afterwards,
    so one set can serve any number of decodes through ``decode_values_with_tables``. When a
    code is loaded twice the later definition wins, which is how local tables override the
    master tables. Lookups return new, independent copies.

    >>> root = "/usr/share/eccodes/definitions"                             # doctest: +SKIP
    >>> tables = _skarvel.TableSet.from_definitions(root, message)          # doctest: +SKIP
    >>> tables                                                              # doctest: +SKIP
    TableSet(elements=1742, sequences=611)
    >>> tables.get_meaning(20003, 10)                                       # doctest: +SKIP
    'MIST'
    >>> values = _skarvel.decode_values_with_tables(raw, tables)            # doctest: +SKIP
    """

    def __new__(cls) -> TableSet:
        """An empty table set: every lookup returns None and decoding with it fails at the
        first element or sequence descriptor."""
    @staticmethod
    def from_eccodes(path: str) -> TableSet:
        """Load one ecCodes table directory.

        ``path`` must hold ``element.table`` and ``sequence.def``; its ``codetables`` directory
        is loaded when present. An alias file in place of the directory is not followed.
        Raises ``ValueError`` when a required file is missing, unreadable or malformed.

        >>> table_dir = "/usr/share/eccodes/definitions/bufr/tables/0/wmo/38"   # doctest: +SKIP
        >>> _skarvel.TableSet.from_eccodes(table_dir)                       # doctest: +SKIP
        TableSet(elements=1742, sequences=611)
        """
    @staticmethod
    def from_definitions(path: str, message: BufrMessage) -> TableSet:
        """Load the tables a message's header asks for from an ecCodes definitions root.

        The master tables come from ``bufr/tables/<M>/wmo/<V>`` under ``path`` (M the master
        table number, V the master tables version; a file there naming a sibling directory is
        followed). When the local tables version L is not 0, whatever exists of
        ``bufr/tables/<M>/local/<L>/<centre>/<subcentre>`` (``<V>-<L>`` when V is 19) is loaded
        on top and replaces master entries with the same code; missing local files are skipped.
        Raises ``ValueError`` when the master directory is missing or a file is malformed.

        >>> root = "/usr/share/eccodes/definitions"                         # doctest: +SKIP
        >>> _skarvel.TableSet.from_definitions(root, message)               # doctest: +SKIP
        TableSet(elements=1742, sequences=611)
        """
    @staticmethod
    def from_bufr4_45(path: str) -> TableSet:
        """Load the WMO BUFR edition 4 master tables published as CSV files.

        Reads every ``BUFRCREX_TableB_en_*.csv`` and ``BUFR_TableD_en_*.csv`` in directory
        ``path``, in name order (a later file wins). No code tables are loaded, so
        ``get_meaning`` returns None; ``abbreviation`` is empty and ``element_type`` comes from
        the unit. A directory without such files gives an empty set. Raises ``ValueError``
        when the directory cannot be listed or a file is malformed.

        >>> _skarvel.TableSet.from_bufr4_45("wmo-bufr4")                    # doctest: +SKIP
        TableSet(elements=1874, sequences=665)
        """
    def get_element(self, code: int) -> ElementDefinition | None:
        """The Table B entry of element ``code`` (such as 12101), or None when it is not
        defined. ``code`` must lie in 0 to 4294967295 (``OverflowError`` otherwise)."""
    def get_sequence(self, code: int) -> SequenceDefinition | None:
        """The Table D entry of sequence ``code`` (such as 301011), or None when it is not
        defined. ``code`` must lie in 0 to 4294967295 (``OverflowError`` otherwise)."""
    def get_meaning(self, code: int, raw: int) -> str | None:
        """The meaning of raw value ``raw`` in the code or flag table of element ``code``
        (``get_meaning(20003, 10)`` is "MIST"), or None when the element has no table or the
        table no entry. ``raw`` is the entry's key, for a flag table too: there it is a bit
        number, whereas a decoded flag value's ``raw_meaning`` joins the entries of its set
        bits."""
    def expand(self, descriptors: Sequence[int]) -> list[int]:
        """Expand descriptor codes into one flat list, for inspection.

        Table D sequences are replaced by their members, fixed replications are unrolled, a
        delayed replication is written once with its factor descriptor, operators 2-01, 2-02,
        2-04, 2-06, 2-07 and 2-08 are consumed, other operators are kept, and 999999 goes before
        each element that carries an associated field (2-04). Elements are not checked against
        Table B. Raises ``ValueError`` for an unknown sequence, a replication without enough
        descriptors after it, an F above 3 or nesting deeper than 64 levels. Decoding does its
        own expansion and does not depend on this one.

        >>> tables.expand([301011, 301012])                                 # doctest: +SKIP
        [4001, 4002, 4003, 4004, 4005]
        """
    @property
    def element_count(self) -> int:
        """Number of Table B entries (each code counted once)."""
    @property
    def sequence_count(self) -> int:
        """Number of Table D entries (each code counted once)."""

def parse_bytes(data: bytes) -> BufrMessage:
    """Parse the header of exactly one message.

    ``data`` must start with "BUFR" and end at the declared total length: other octets around
    the message raise ``ValueError``, as do a message that is too short, of another edition,
    with a truncated section, an odd descriptor area or no "7777" terminator. Section 4 data
    are not examined. ``data`` must be ``bytes`` (``TypeError`` for bytearray or memoryview).

    >>> raw = open("synop.bufr", "rb").read()                               # doctest: +SKIP
    >>> _skarvel.parse_bytes(raw)                                           # doctest: +SKIP
    BufrMessage(edition=4, length=231, subsets=1, descriptors=[307080])
    """

def parse_file(path: str) -> BufrMessage:
    """Read the file at ``path`` and parse it as ``parse_bytes`` does: it must hold exactly one
    message. Raises ``OSError`` when the file cannot be read and ``ValueError`` when it is not
    one valid message.

    >>> _skarvel.parse_file("synop.bufr")                                   # doctest: +SKIP
    BufrMessage(edition=4, length=231, subsets=1, descriptors=[307080])
    """

def parse_all_bytes(data: bytes) -> list[BufrMessage]:
    """Find and parse every message in ``data``, in order.

    Octets before, between and after messages are skipped, and a buffer without any "BUFR"
    marker gives an empty list. The first malformed message raises ``ValueError`` and no list
    is returned. Offsets in each header are relative to that message's own start.

    >>> messages = _skarvel.parse_all_bytes(open("samples.bufr", "rb").read())   # doctest: +SKIP
    >>> len(messages), messages[0]                                          # doctest: +SKIP
    (2, BufrMessage(edition=4, length=231, subsets=1, descriptors=[307080]))
    """

def parse_all_file(path: str) -> list[BufrMessage]:
    """Read the file at ``path`` and parse every message in it, as ``parse_all_bytes`` does.
    Raises ``OSError`` when the file cannot be read and ``ValueError`` for a malformed message.

    >>> messages = _skarvel.parse_all_file("samples.bufr")                  # doctest: +SKIP
    >>> [message.number_of_subsets for message in messages]                 # doctest: +SKIP
    [1, 3]
    """

def expand_descriptors(table_dir: str, descriptors: Sequence[int]) -> list[int]:
    """Expand descriptor codes as ``TableSet.expand`` does, with the tables of the ecCodes table
    directory ``table_dir``, loaded for this call.

    ``descriptors`` is a list or tuple of int codes (``TypeError`` for a str). Raises
    ``ValueError`` when the tables cannot be loaded or the expansion fails.

    >>> table_dir = "/usr/share/eccodes/definitions/bufr/tables/0/wmo/38"   # doctest: +SKIP
    >>> _skarvel.expand_descriptors(table_dir, [301011, 301012])            # doctest: +SKIP
    [4001, 4002, 4003, 4004, 4005]
    """

def decode_values(data: bytes, table_dir: str) -> list[DecodedValue]:
    """Decode the data of the first message in ``data`` with the tables of the ecCodes table
    directory ``table_dir``, loaded for this call.

    Octets before the first message and any later messages are ignored. Returns the values of
    all subsets in one list, subset after subset. Raises ``ValueError`` when there is no
    message, the message is malformed (reported before table errors), the tables cannot be
    loaded, or the data cannot be decoded (a descriptor missing from the tables, too few bits).

    >>> table_dir = "/usr/share/eccodes/definitions/bufr/tables/0/wmo/38"   # doctest: +SKIP
    >>> values = _skarvel.decode_values(raw, table_dir)                     # doctest: +SKIP
    >>> values[:2]                                                          # doctest: +SKIP
    [DecodedValue(001001, Some(10.0)), DecodedValue(001002, Some(384.0))]
    """

def decode_values_with_tables(data: bytes, tables: TableSet) -> list[DecodedValue]:
    """Decode the data of the first message in ``data`` with an already loaded table set.

    Like ``decode_values``, but nothing is read from disk; ``tables`` is only read, so one set
    serves many messages. Raises ``TypeError`` when ``tables`` is not a ``TableSet`` and
    ``ValueError`` as ``decode_values`` does. Here, a compressed message of three stations:

    >>> raw = open("synops.bufr", "rb").read()                              # doctest: +SKIP
    >>> values = _skarvel.decode_values_with_tables(raw, tables)            # doctest: +SKIP
    >>> [value.data for value in values if value.descriptor == 12101]       # doctest: +SKIP
    [276.45, 279.05, 280.15]
    """

def decode_values_with_definitions(data: bytes, definitions_root: str) -> list[DecodedValue]:
    """Decode the data of the first message in ``data`` with the tables its header asks for
    under the ecCodes definitions root ``definitions_root``, loaded for this call as
    ``TableSet.from_definitions`` does (master tables, then any local tables).

    Raises ``ValueError`` as ``decode_values`` does.

    >>> root = "/usr/share/eccodes/definitions"                             # doctest: +SKIP
    >>> _skarvel.decode_values_with_definitions(raw, root)[21]              # doctest: +SKIP
    DecodedValue(012101, Some(276.45))
    """
