package gameserver.dbiface;

import java.lang.ref.Cleaner;
import java.lang.ref.Reference;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Collections;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import java.util.Objects;
import java.util.concurrent.atomic.AtomicBoolean;

/**
 * A handle on one table file: reads and writes it without trace lines and without any
 * state shared with other tables.
 *
 * <p>Every method is thread-safe, and one {@code Table} may be shared by many threads.
 * Tables on two files never touch each other's file. Tables, {@link gameserver.DBIface}
 * and other processes using this library on the same file share its locks, its crash
 * recovery and its cache, and see each other's writes at once. A write is all or
 * nothing, even if the process dies during it; when a method throws, nothing was written.
 *
 * <p>Rows are numbered from 1, the first line after the header. The system property
 * {@code gameserver.dbiface.sync} chooses the durability of writes as for
 * {@link gameserver.DBIface}.
 *
 * <p>Every method may also throw {@link UnsatisfiedLinkError} (the native library cannot
 * be loaded, on first use) and {@link OutOfMemoryError}.
 */
public final class Table implements AutoCloseable {
    static {
        // DBIface loads the native library and hands it the durability setting.
        try {
            Class.forName("gameserver.DBIface", true, Table.class.getClassLoader());
        } catch (ClassNotFoundException e) {
            throw new NoClassDefFoundError("gameserver.DBIface");
        }
    }

    private static final Cleaner CLEANER = Cleaner.create();

    private final Path file;
    private final long handle;
    private final AtomicBoolean closed = new AtomicBoolean();
    // Releases the native handle if the Table is dropped unclosed.
    private final Cleaner.Cleanable cleanable;

    private Table(Path file, long handle) {
        this.file = file;
        this.handle = handle;
        this.cleanable = CLEANER.register(this, () -> close0(handle));
    }

    /**
     * Opens the existing table file {@code file}.
     *
     * @param file the table file
     * @return an open table; close it when done
     * @throws NullPointerException if {@code file} is null
     * @throws java.io.UncheckedIOException with a {@link java.nio.file.NoSuchFileException}
     *     naming the path when the file does not exist; with an {@link java.io.IOException}
     *     carrying the OS error when it cannot be read (a directory, no permission) or stays
     *     locked by another writer for about 5 s
     */
    public static Table open(Path file) {
        Objects.requireNonNull(file, "file");
        return new Table(file, open0(file.toString(), null));
    }

    /**
     * Opens the table file {@code file}, creating it with the header {@code columns} when
     * the file is missing or empty. An existing table must have exactly these columns.
     *
     * @param file the table file
     * @param columns the column names, in order: 1 to 10 names, none empty, repeated,
     *     starting or ending with a space or tab, or containing {@code |}, {@code =},
     *     {@code ,}, CR, LF or NUL, together at most 99 bytes of UTF-8 with their separators
     * @return an open table; close it when done
     * @throws NullPointerException if {@code file}, {@code columns} or a name is null
     * @throws IllegalArgumentException if a name is refused, or the existing table's header
     *     differs from {@code columns} (the message names both); nothing is written
     * @throws java.io.UncheckedIOException if the file cannot be created, read or written
     */
    public static Table create(Path file, List<String> columns) {
        Objects.requireNonNull(file, "file");
        String[] names = columns.toArray(new String[0]);
        for (String n : names) Objects.requireNonNull(n, "column name");
        return new Table(file, open0(file.toString(), names));
    }

    /**
     * Returns the version of this library, such as {@code "1.0.0"}: the one compiled into
     * its classes, so it holds in a shaded jar whose manifest is another's. The native
     * library is of the same version: one of another version is refused when it loads.
     *
     * <p>Like the first use of any method of this class, the first call loads the native
     * library, and throws {@link UnsatisfiedLinkError} when it cannot be loaded.
     *
     * @return the library's version
     */
    public static String version() {
        return Version.VERSION;
    }

    /**
     * Returns the column names of the table's header line as the file holds them now.
     *
     * @return the column names in order, unmodifiable; empty for an empty file
     * @throws IllegalStateException if the table is closed
     * @throws java.io.UncheckedIOException if the file is gone ({@link
     *     java.nio.file.NoSuchFileException}), cannot be read, or stays locked
     */
    public List<String> columns() {
        try {
            return List.of(columns0(live()));
        } finally {
            Reference.reachabilityFence(this);
        }
    }

    /**
     * Returns the number of data rows: the lines after the header, up to the first line
     * longer than 99 bytes of UTF-8.
     *
     * @return the number of data rows, 0 or more
     * @throws IllegalStateException if the table is closed
     * @throws ArithmeticException if the table has more rows than an {@code int} holds
     * @throws java.io.UncheckedIOException as for {@link #columns()}
     */
    public int rowCount() {
        try {
            return rowCount0(live());
        } finally {
            Reference.reachabilityFence(this);
        }
    }

    /**
     * Returns data row {@code row} as {@code COLUMN=value} pairs joined by {@code ,} in
     * header order, for example {@code NAME=alice,SCORE=1200,DATE=9/13/2006}: the same
     * text {@link gameserver.DBIface#getRow} returns.
     *
     * @param row the row number, 1 to {@link #rowCount()}
     * @return the row text
     * @throws IndexOutOfBoundsException if the table has no row {@code row}
     * @throws IllegalStateException if the table is closed
     * @throws java.io.UncheckedIOException as for {@link #columns()}
     */
    public String rowText(int row) {
        try {
            return rowText0(live(), row);
        } finally {
            Reference.reachabilityFence(this);
        }
    }

    /**
     * Returns data row {@code row} as a map from column name to value, in column order.
     * Only the columns the row has are present: a row shorter than the header lacks the
     * later ones.
     *
     * @param row the row number, 1 to {@link #rowCount()}
     * @return the row, unmodifiable
     * @throws IndexOutOfBoundsException if the table has no row {@code row}
     * @throws IllegalStateException if the table is closed
     * @throws java.io.UncheckedIOException as for {@link #columns()}
     */
    public Map<String, String> row(int row) {
        try {
            return toMap(row0(live(), row));
        } finally {
            Reference.reachabilityFence(this);
        }
    }

    /**
     * Returns every data row, as the table was at one moment (no write lands between the
     * first row and the last).
     *
     * @return the rows in order, each as {@link #row} returns it; unmodifiable
     * @throws IllegalStateException if the table is closed
     * @throws ArithmeticException if the table has more rows than an {@code int} holds
     * @throws java.io.UncheckedIOException as for {@link #columns()}
     */
    public List<Map<String, String>> rows() {
        String[][] all;
        try {
            all = rows0(live());
        } finally {
            Reference.reachabilityFence(this);
        }
        List<Map<String, String>> out = new ArrayList<>(all.length - 1);
        for (int i = 1; i < all.length; i++) out.add(toMap(all[0], all[i]));
        return Collections.unmodifiableList(out);
    }

    /**
     * Appends a record given as record text, {@code KEY=VALUE} pairs separated by
     * {@code ,} (for example {@code NAME=erin, SCORE=1320, DATE=12/8/2026}), as the last
     * row. Keys name header columns, the first ones without gaps; spaces around keys and
     * values are dropped.
     *
     * @param recordText the record text
     * @throws NullPointerException if {@code recordText} is null
     * @throws IllegalArgumentException if the record is empty or cannot be placed in the
     *     table (unknown or repeated column, a gap before a named column, more than 10
     *     pairs, a value over 199 bytes or containing {@code |}, LF or NUL, a last value
     *     ending in CR, a row line over 99 bytes of UTF-8, a table without header); nothing
     *     is written
     * @throws IllegalStateException if the table is closed
     * @throws java.io.UncheckedIOException if the file is gone, cannot be read or written
     *     (disk full, I/O error) or stays locked, or a line longer than 99 bytes before the
     *     place the rows would go hides them from every read (the message names that line);
     *     the table is then unchanged
     */
    public void append(String recordText) {
        Objects.requireNonNull(recordText, "recordText");
        try {
            append0(live(), recordText);
        } finally {
            Reference.reachabilityFence(this);
        }
    }

    /**
     * Appends a record given as column name to value, as the last row. The values are
     * stored as given, so they may hold what record text cannot express, such as a comma;
     * what the row format cannot hold is refused rather than changed.
     *
     * @param values column name to value; the names are header columns, the first ones
     *     without gaps, in any order
     * @throws NullPointerException if {@code values}, a name or a value is null
     * @throws IllegalArgumentException if {@code values} is empty, names an unknown column,
     *     leaves a gap, or a value contains {@code |}, CR, LF or NUL, starts or ends with a
     *     space or tab (reading would trim it), or makes the row line longer than 99 bytes
     *     of UTF-8; nothing is written
     * @throws IllegalStateException if the table is closed
     * @throws java.io.UncheckedIOException as for {@link #append(String)}
     */
    public void append(Map<String, String> values) {
        List<String> pairs = new ArrayList<>(values.size() * 2);
        for (Map.Entry<String, String> e : values.entrySet()) {
            pairs.add(Objects.requireNonNull(e.getKey(), "column name"));
            pairs.add(Objects.requireNonNull(e.getValue(), "value"));
        }
        try {
            appendValues0(live(), pairs.toArray(new String[0]));
        } finally {
            Reference.reachabilityFence(this);
        }
    }

    /**
     * Appends every record (record text, as for {@link #append(String)}) as the last rows,
     * in order, in one write: afterwards the table holds all of them or, after an error, a
     * killed process or (with {@code sync=full}) a power cut, none. Every record is checked
     * before anything is written; an empty list writes nothing.
     *
     * @param recordTexts the records
     * @throws NullPointerException if {@code recordTexts} or one of them is null
     * @throws IllegalArgumentException if any record is refused (the message names which);
     *     nothing is written
     * @throws IllegalStateException if the table is closed
     * @throws java.io.UncheckedIOException as for {@link #append(String)}
     */
    public void appendAll(List<String> recordTexts) {
        String[] texts = recordTexts.toArray(new String[0]);
        for (String t : texts) Objects.requireNonNull(t, "record text");
        try {
            long h = live();
            if (texts.length > 0) appendAll0(h, texts);
        } finally {
            Reference.reachabilityFence(this);
        }
    }

    /**
     * Inserts a record given as record text (see {@link #append(String)}) so that it
     * becomes data row {@code row}; the rows from there on move down by one. Inserting at
     * {@code rowCount() + 1} appends.
     *
     * @param row the row number the record becomes, 1 to {@link #rowCount()} + 1
     * @param recordText the record text
     * @throws NullPointerException if {@code recordText} is null
     * @throws IndexOutOfBoundsException if {@code row} is outside 1 to {@code rowCount() + 1};
     *     nothing is written
     * @throws IllegalArgumentException as for {@link #append(String)}
     * @throws IllegalStateException if the table is closed
     * @throws java.io.UncheckedIOException as for {@link #append(String)}
     */
    public void insert(int row, String recordText) {
        Objects.requireNonNull(recordText, "recordText");
        try {
            insert0(live(), row, recordText);
        } finally {
            Reference.reachabilityFence(this);
        }
    }

    /**
     * Closes the table: lets go of the file's kept descriptor, cached image and watch once
     * no other open Table uses the file. Closing again does nothing; every other method
     * then throws {@link IllegalStateException}.
     */
    @Override
    public void close() {
        if (closed.compareAndSet(false, true)) cleanable.clean();
    }

    /** Returns the path this table was opened with, for messages. */
    @Override
    public String toString() {
        return "Table[" + file + (closed.get() ? ", closed]" : "]");
    }

    // The handle while open. Callers keep this Table reachable until the native call
    // returns (reachabilityFence), or the cleaner could close the handle under it.
    private long live() {
        if (closed.get()) throw new IllegalStateException("table " + file + " is closed");
        return handle;
    }

    // names: column names; values: the row's fields, as many as the row has.
    private static Map<String, String> toMap(String[] names, String[] values) {
        Map<String, String> m = new LinkedHashMap<>();
        for (int k = 0; k < values.length && k < names.length; k++) m.put(names[k], values[k]);
        return Collections.unmodifiableMap(m);
    }

    // pairs: name, value, name, value...
    private static Map<String, String> toMap(String[] pairs) {
        Map<String, String> m = new LinkedHashMap<>();
        for (int k = 0; k + 1 < pairs.length; k += 2) m.put(pairs[k], pairs[k + 1]);
        return Collections.unmodifiableMap(m);
    }

    // columns null: open an existing file; otherwise create it with that header.
    private static native long open0(String path, String[] columns);
    private static native void close0(long handle);
    private static native String[] columns0(long handle);
    private static native int rowCount0(long handle);
    private static native String rowText0(long handle, int row);
    // Name, value, name, value... for the columns the row has.
    private static native String[] row0(long handle, int row);
    // Element 0: the column names; element i: the fields of row i.
    private static native String[][] rows0(long handle);
    private static native void append0(long handle, String recordText);
    private static native void appendValues0(long handle, String[] pairs);
    private static native void appendAll0(long handle, String[] recordTexts);
    private static native void insert0(long handle, int row, String recordText);
}
