import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.sql.Connection;
import java.sql.DriverManager;
import java.sql.PreparedStatement;
import java.sql.ResultSet;
import java.sql.SQLException;
import java.sql.Statement;
import java.util.List;

/**
 * The same table kept in SQLite through JDBC: one row per data row with an ordinal
 * column that gives its position. Counting is count(*), reading row i selects by the
 * ordinal, appending inserts max+1, and inserting at a line shifts the later ordinals
 * and inserts in one transaction. The connection and statements stay open between
 * calls, as a server using a database would keep them.
 */
final class SqlitePeer implements AutoCloseable {
    /**
     * Databases measured: SQLite with its default rollback journal and with its
     * write-ahead log, and H2 (a Java database, embedded in this JVM) with its defaults.
     */
    enum Mode {
        DEFAULT("sqlite", "org.sqlite.JDBC", "jdbc:sqlite:"),
        WAL("sqlite-wal", "org.sqlite.JDBC", "jdbc:sqlite:"),
        H2("h2", "org.h2.Driver", "jdbc:h2:file:");

        final String label;
        final String driver;
        final String url;

        Mode(String label, String driver, String url) {
            this.label = label;
            this.driver = driver;
            this.url = url;
        }

        /** True when this database's JDBC driver is on the class path. */
        boolean available() {
            try {
                Class.forName(driver);
                return true;
            } catch (ClassNotFoundException e) {
                return false;
            }
        }
    }

    private final Connection conn;
    private final Mode mode;
    private final String[] header;
    private final PreparedStatement count;
    private final PreparedStatement select;
    private final PreparedStatement maxOrd;
    private final PreparedStatement append;
    private final PreparedStatement insert;
    private final PreparedStatement shiftUp;
    private final PreparedStatement shiftDown;
    private final PreparedStatement deleteAt;
    private final Statement plain;

    /** Builds database {@code db} afresh from the table file {@code table}. */
    SqlitePeer(Path db, Mode mode, Path table) throws SQLException, IOException {
        Files.deleteIfExists(db);
        Files.deleteIfExists(Path.of(db + "-wal"));
        Files.deleteIfExists(Path.of(db + "-shm"));
        Files.deleteIfExists(Path.of(db + "-journal"));
        Files.deleteIfExists(Path.of(db + ".mv.db"));
        this.mode = mode;
        List<String> lines = Files.readAllLines(table);
        header = split(lines.get(0));
        conn = DriverManager.getConnection(mode.url + db.toAbsolutePath());
        plain = conn.createStatement();
        if (mode == Mode.WAL) {
            plain.execute("PRAGMA journal_mode=WAL");
            plain.execute("PRAGMA synchronous=NORMAL");
        }
        StringBuilder cols = new StringBuilder();
        StringBuilder marks = new StringBuilder();
        for (String h : header) {
            cols.append(", \"").append(h.replace("\"", "\"\"")).append("\" TEXT");
            marks.append(", ?");
        }
        // The ordinal is not unique so that one UPDATE can shift a range of it.
        plain.execute("CREATE TABLE t(ord INTEGER NOT NULL" + cols + ")");
        plain.execute("CREATE INDEX t_ord ON t(ord)");
        insert = conn.prepareStatement("INSERT INTO t VALUES (?" + marks + ")");
        conn.setAutoCommit(false);
        for (int i = 1; i < lines.size(); i++) {
            String[] fields = split(lines.get(i));
            insert.setInt(1, i);
            for (int k = 0; k < header.length; k++) {
                insert.setString(k + 2, k < fields.length ? fields[k] : null);
            }
            insert.addBatch();
        }
        insert.executeBatch();
        conn.commit();
        conn.setAutoCommit(true);
        count = conn.prepareStatement("SELECT count(*) FROM t");
        select = conn.prepareStatement("SELECT * FROM t WHERE ord = ?");
        maxOrd = conn.prepareStatement("SELECT ifnull(max(ord), 0) FROM t");
        append = conn.prepareStatement(
                "INSERT INTO t VALUES ((SELECT ifnull(max(ord), 0) + 1 FROM t)" + marks + ")");
        shiftUp = conn.prepareStatement("UPDATE t SET ord = ord + 1 WHERE ord >= ?");
        shiftDown = conn.prepareStatement("UPDATE t SET ord = ord - 1 WHERE ord > ?");
        deleteAt = conn.prepareStatement("DELETE FROM t WHERE ord = ?");
    }

    int getNumRows() throws SQLException {
        try (ResultSet rs = count.executeQuery()) {
            rs.next();
            return rs.getInt(1);
        }
    }

    String getRow(int index) throws SQLException {
        select.setInt(1, index);
        try (ResultSet rs = select.executeQuery()) {
            if (!rs.next()) {
                return "";
            }
            StringBuilder out = new StringBuilder(64);
            for (int k = 0; k < header.length; k++) {
                String v = rs.getString(k + 2);
                if (v == null) {
                    break;
                }
                if (k > 0) {
                    out.append(',');
                }
                out.append(header[k]).append('=').append(v);
            }
            return out.toString();
        }
    }

    void writeRow(String text) throws SQLException {
        String[] values = PurePeer.parseRecord(text, header);
        if (values.length == 0) {
            return;
        }
        bind(append, 1, values);
        append.executeUpdate();
    }

    void writeRowToLine(String text, int line) throws SQLException {
        String[] values = PurePeer.parseRecord(text, header);
        if (line < 1) {
            throw new IndexOutOfBoundsException("line " + line);
        }
        if (values.length == 0) {
            return;
        }
        begin();
        boolean done = false;
        try {
            int last;
            try (ResultSet rs = maxOrd.executeQuery()) {
                rs.next();
                last = rs.getInt(1);
            }
            if (line > last + 1) {
                throw new IndexOutOfBoundsException("line " + line + " is beyond the end");
            }
            shiftUp.setInt(1, line);
            shiftUp.executeUpdate();
            insert.setInt(1, line);
            bind(insert, 2, values);
            insert.executeUpdate();
            commit();
            done = true;
        } finally {
            if (!done) {
                rollback();
            }
        }
    }

    /** Appends every record as writeRow does, as one batch of inserts in one transaction. */
    void appendAll(List<String> texts) throws SQLException {
        begin();
        boolean done = false;
        try {
            for (String text : texts) {
                String[] values = PurePeer.parseRecord(text, header);
                if (values.length > 0) {
                    bind(append, 1, values);
                    append.addBatch();
                }
            }
            append.executeBatch();
            commit();
            done = true;
        } finally {
            if (!done) {
                rollback();
            }
        }
    }

    /** Takes every row after row {@code rows} away again, outside the timed region. */
    void undoAppendsAfter(int rows) throws SQLException {
        plain.execute("DELETE FROM t WHERE ord > " + rows);
    }

    /** Takes the last row away again; the benchmark calls it outside the timed region. */
    void undoAppend() throws SQLException {
        plain.execute("DELETE FROM t WHERE ord = (SELECT max(ord) FROM t)");
    }

    /** Takes the row inserted at {@code line} away again and shifts the later rows back. */
    void undoInsert(int line) throws SQLException {
        begin();
        deleteAt.setInt(1, line);
        deleteAt.executeUpdate();
        shiftDown.setInt(1, line);
        shiftDown.executeUpdate();
        commit();
    }

    // SQLite takes its write lock up front with BEGIN IMMEDIATE; H2 has no such statement
    // and goes through the JDBC transaction calls.
    private void begin() throws SQLException {
        if (mode == Mode.H2) {
            conn.setAutoCommit(false);
        } else {
            plain.execute("BEGIN IMMEDIATE");
        }
    }

    private void commit() throws SQLException {
        if (mode == Mode.H2) {
            conn.commit();
            conn.setAutoCommit(true);
        } else {
            plain.execute("COMMIT");
        }
    }

    private void rollback() throws SQLException {
        if (mode == Mode.H2) {
            conn.rollback();
            conn.setAutoCommit(true);
        } else {
            plain.execute("ROLLBACK");
        }
    }

    private static String[] split(String line) {
        byte[] b = line.getBytes(StandardCharsets.UTF_8);
        return PurePeer.splitLine(b, 0, b.length);
    }

    private void bind(PreparedStatement st, int first, String[] values) throws SQLException {
        for (int k = 0; k < header.length; k++) {
            st.setString(first + k, k < values.length ? values[k] : null);
        }
    }

    @Override
    public void close() throws SQLException {
        conn.close();
    }
}
