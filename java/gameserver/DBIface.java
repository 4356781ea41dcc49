package gameserver;

/**
 * Java half of the native table library {@code gameserver_DBIface}.
 *
 * <p>The table is one text file: a header line naming the columns, then one data row per
 * line, fields separated by {@code |}. Every call sees the file's current content (an
 * unchanged table is answered from a per-process cache), so an edit made by another process
 * or by hand is seen at once. The library writes trace lines to standard
 * output as it works: each call's lines in one write, once the table is unlocked again.
 *
 * <p>All methods are thread-safe. Calls on the same table file are serialised, across the
 * threads of this JVM and across processes that use this library.
 *
 * <p>The system property {@code gameserver.dbiface.sync}, read when the class is loaded,
 * chooses the durability of writes: {@code off} (the default) survives the death of the
 * process at any instant; {@code full} also survives a power cut or OS crash, each write
 * returning only once it is on stable storage. Any other value makes loading the class fail
 * with an {@link ExceptionInInitializerError} caused by an {@link IllegalArgumentException}.
 *
 * <p>Two more properties, read the same way: {@code gameserver.dbiface.trace} sends the
 * trace lines to {@code stdout} (the default, file descriptor 1, bypassing
 * {@code System.out}), {@code stderr} (file descriptor 2) or nowhere ({@code off});
 * {@code gameserver.dbiface.cache=off} turns off the per-process cache, so every call reads
 * the file (for a deployment where another program writes the table through a shared
 * memory mapping, which the cache cannot see).
 *
 * <p>{@code gameserver.dbiface.singleProcess=true} says that this process alone uses the
 * table. Without it (the default, {@code false}), a write to a table on a file system that
 * refuses the file lock, and any call on a table on a GlusterFS volume whose client keeps file
 * contents that other hosts' writes do not reach, throw {@link java.io.UncheckedIOException}
 * naming the file system; with it, they go on, excluding only the threads of this JVM.
 * See "Sharing a table between hosts" in docs/operations.md.
 */
public final class DBIface {
    /** The system property that chooses how hard writes work to survive a power cut. */
    static final String SYNC_PROPERTY = "gameserver.dbiface.sync";
    /** The system property that chooses where trace lines go. */
    static final String TRACE_PROPERTY = "gameserver.dbiface.trace";
    /** The system property that turns the per-process cache of table images on or off. */
    static final String CACHE_PROPERTY = "gameserver.dbiface.cache";
    /** The system property that says no other process uses the table. */
    static final String SINGLE_PROCESS_PROPERTY = "gameserver.dbiface.singleProcess";

    // The system property gameserver.dbiface.library.path, then java.library.path, then the
    // copy bundled in the jar: see NativeLoader. A library of another version is refused.
    static {
        NativeLoader.load(DBIface::nativeVersion);
        // off: safe against the death of the process; full: each write is on stable
        // storage before it returns. A misspelt value must not quietly give the weaker one.
        setSyncMode(fromProperty(SYNC_PROPERTY, "off", "full"));
        setTraceMode(fromProperty(TRACE_PROPERTY, "stdout", "stderr", "off"));
        setCacheOn(fromProperty(CACHE_PROPERTY, "on", "off") == 0);
        setSingleProcess(fromProperty(SINGLE_PROCESS_PROPERTY, "false", "true") == 1);
    }

    // Returns the index of the property's value among `allowed` (the first is the default).
    private static int fromProperty(String name, String... allowed) {
        String v = System.getProperty(name, allowed[0]);
        for (int i = 0; i < allowed.length; i++) {
            if (allowed[i].equals(v)) return i;
        }
        throw new IllegalArgumentException("system property " + name + " is \"" + v + "\"; allowed values: "
                + allowed[0] + " (the default), " + String.join(", ", java.util.Arrays.asList(allowed).subList(1, allowed.length)));
    }

    private static native void setSyncMode(int mode);
    // 0: standard output, 1: standard error, 2: nowhere.
    private static native void setTraceMode(int mode);
    private static native void setCacheOn(boolean on);
    private static native void setSingleProcess(boolean single);

    private DBIface() {}

    /** The version the loaded native library was built as. */
    private static native String nativeVersion();

    /**
     * Sets the table file used by every later call. The path is copied; a later call
     * replaces it. Nothing is read or checked here.
     *
     * @param path path of the table file
     * @throws NullPointerException if {@code path} is null
     */
    public static native void init(String path);

    /**
     * Returns the number of data rows of the table (the lines after the header, up to the
     * first line longer than 99 bytes of UTF-8). A missing table file has 0 rows.
     *
     * @return the number of data rows, 0 or more
     * @throws IllegalStateException if {@link #init} has not been called
     * @throws java.io.UncheckedIOException if the table file exists but cannot be read, or
     *     stays locked by another writer for several seconds
     * @throws ArithmeticException if the table has more rows than an {@code int} holds
     */
    public static native int getNumRows();

    /**
     * Returns data row {@code index} (1-based) as {@code COLUMN=value} pairs joined by
     * {@code ,} in header order, for example {@code NAME=player,SCORE=120,DATE=9/13/2006}.
     *
     * @param index 1-based data row number
     * @return the row text; the empty string (never null) when {@code index} is outside
     *     1..{@link #getNumRows()}
     * @throws IllegalStateException if {@link #init} has not been called
     * @throws java.io.UncheckedIOException if the table file exists but cannot be read, or
     *     stays locked by another writer for several seconds
     */
    public static native String getRow(int index);

    /**
     * Appends a record given as record text, {@code KEY=VALUE} pairs separated by
     * {@code ,} (for example {@code NAME=player, SCORE=120, DATE=9/13/2006}), as the last
     * line of the table. Keys name header columns; the values are stored in header order.
     * An empty text writes nothing (a missing table file is then created empty).
     *
     * @param text the record text
     * @throws NullPointerException if {@code text} is null
     * @throws IllegalArgumentException if the record cannot be placed in the table (unknown or
     *     repeated column, a gap before a named column, more than 10 pairs, a value longer than
     *     199 bytes or containing {@code |}, a line feed or NUL, a last value ending in a
     *     carriage return, or a row line longer than 99 bytes of UTF-8); nothing is written
     * @throws IllegalStateException if {@link #init} has not been called
     * @throws java.io.UncheckedIOException if the file cannot be read or written, or a line
     *     longer than 99 bytes before the place the record would go hides it from every read
     *     (the message names that line); the table is then unchanged
     */
    public static native void writeRow(String text);

    /**
     * Inserts a record given as record text (see {@link #writeRow}) so that it becomes line
     * {@code line} of the file, counting the header as line 0: for {@code line >= 1} the
     * record becomes data row {@code line} and every later row moves down by one. Inserting
     * at the line after the last appends.
     *
     * @param text the record text
     * @param line the line the record becomes, 1 or more
     * @throws NullPointerException if {@code text} is null
     * @throws IllegalArgumentException if the record cannot be placed (see {@link #writeRow})
     * @throws IndexOutOfBoundsException if {@code line} is below 1 or beyond the line after
     *     the last; nothing is written
     * @throws IllegalStateException if {@link #init} has not been called
     * @throws java.io.UncheckedIOException if the file cannot be read or written, or a line
     *     longer than 99 bytes before the place the record would go hides it from every read
     *     (the message names that line); the table is then unchanged
     */
    public static native void writeRowToLine(String text, int line);
}
