package gameserver;

/**
 * Native half of the command-line tool's operator commands. Each call takes the table's
 * locks like any library call, holds them only for as long as one step needs, and prints
 * no trace lines. Failures arrive as the exceptions {@link DBIface} documents.
 */
final class TableTools {
    static {
        // DBIface loads the native library and hands it the properties.
        try {
            Class.forName("gameserver.DBIface", true, TableTools.class.getClassLoader());
        } catch (ClassNotFoundException e) {
            throw new NoClassDefFoundError("gameserver.DBIface");
        }
    }

    private TableTools() {}

    /**
     * Returns every data row as row text, each followed by a line feed, read under one
     * shared lock: the table at one moment.
     *
     * @throws java.io.UncheckedIOException when the file cannot be read or does not exist
     */
    static native String rowTexts(String path);

    /**
     * Returns a sentence for each thing in the table file that hides or garbles rows, with
     * its line number; none for a clean table. Nothing is repaired.
     *
     * @throws java.io.UncheckedIOException when the file cannot be read or does not exist
     */
    static native String[] check(String path);

    /** Returns what {@link #check} would say of a file holding {@code content}. */
    static native String[] checkContent(byte[] content, String name);

    /**
     * Runs the recovery any call runs first, rolling back an unfinished write; returns
     * whether it changed the file.
     *
     * @throws java.io.UncheckedIOException when the file cannot be repaired or does not exist
     */
    static native boolean repair(String path);

    /**
     * Returns the table file's bytes at one moment, after recovery.
     *
     * @throws IllegalArgumentException when the table is too large to edit
     * @throws java.io.UncheckedIOException when the file cannot be read or does not exist
     */
    static native byte[] snapshot(String path);

    /**
     * Replaces the content {@code base} (a {@link #snapshot}) by {@code edited} in one
     * step, keeping rows appended since the snapshot after the edited content; returns how
     * many were kept.
     *
     * @throws IllegalArgumentException when the result would hide or garble rows
     * @throws java.io.UncheckedIOException when the table changed otherwise since the
     *     snapshot (nothing is applied), or cannot be written
     */
    static native long replace(String path, byte[] base, byte[] edited);

    /**
     * Writes the table as of one moment to {@code dest} (a directory takes the table's
     * file name), never leaving it half written; returns {bytes, copy rounds, the longest
     * time the lock was held in microseconds}.
     *
     * @throws java.io.UncheckedIOException when the table cannot be read or the copy written
     */
    static native long[] backup(String path, String dest);

    /** Returns the loaded native library's version and platform, e.g. "1.0.0 linux-x86_64". */
    static native String nativeBuild();
}
