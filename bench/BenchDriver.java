import java.io.BufferedReader;
import java.io.BufferedWriter;
import java.io.IOException;
import java.io.InputStreamReader;
import java.io.OutputStreamWriter;
import java.io.PrintStream;
import java.io.UncheckedIOException;
import java.lang.management.ManagementFactory;
import java.nio.ByteBuffer;
import java.nio.channels.FileChannel;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.StandardCopyOption;
import java.nio.file.StandardOpenOption;
import java.time.Instant;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.EnumSet;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Locale;
import java.util.Map;
import java.util.Set;

/**
 * Times the table calls of the native library through JNI side by side with the floor
 * program (only the unavoidable system calls), the plain Java peer and, when its driver
 * is on the class path, SQLite. The systems take turns round by round, so drift of the
 * machine hits them all alike; write rounds restore the table file before every call,
 * outside the timed region, so every call works on the same table.
 *
 * <p>The library writes its trace lines to file descriptor 1: run this with standard
 * output on /dev/null. Results go to standard error and, with --out, to a file.
 */
public final class BenchDriver {
    enum Op {
        INIT("init", "init"),
        COUNT("getNumRows", "count"),
        AFTER_CHANGE("getNumRows, 1st after a change", "count"),
        ROW("getRow(mid)", "row"),
        APPEND("writeRow", "append"),
        INSERT("writeRowToLine(mid)", "insert"),
        STEP("step: writeRow, getNumRows, 9 getRow", "step"),
        BATCH("1000 appends, ns per batch", "batch");

        final String label;
        final String floorName;

        Op(String label, String floorName) {
            this.label = label;
            this.floorName = floorName;
        }

        boolean writes() {
            return this != INIT && this != COUNT && this != ROW;
        }

        static Op ofFloorName(String name) {
            return Arrays.stream(values()).filter(o -> o.floorName.equals(name) && o != AFTER_CHANGE)
                    .findFirst().orElseThrow(() -> new IllegalArgumentException("unknown operation " + name));
        }
    }

    static final String RECORD = "NAME=bench, SCORE=4242, DATE=12/8/2026";
    static final String ROW_LINE = "bench|4242|12/8/2026";
    static final String ROW_TEXT = "NAME=bench,SCORE=4242,DATE=12/8/2026";
    static final List<String> BATCH_RECORDS = java.util.Collections.nCopies(1000, RECORD);

    /** One table size: the pristine file every system's copy is restored from. */
    static final class Table {
        final int rows;
        final Path pristine;
        final byte[] bytes;
        final int mid;
        /** Where writeRowToLine(mid) begins to write. */
        final int insertAt;

        Table(int rows, Path pristine) throws IOException {
            this.rows = rows;
            this.pristine = pristine;
            this.bytes = Files.readAllBytes(pristine);
            this.mid = Math.max(1, rows / 2);
            this.insertAt = lineStart(mid);
        }

        /** Byte offset where line {@code line} starts (header = line 0). */
        int lineStart(int line) {
            int pos = 0;
            for (int i = 0; i < line; i++) {
                while (bytes[pos] != '\n') {
                    pos++;
                }
                pos++;
            }
            return pos;
        }

        String lineText(int line) {
            int from = lineStart(line);
            int end = from;
            while (end < bytes.length && bytes[end] != '\n') {
                end++;
            }
            return new String(bytes, from, end - from, StandardCharsets.UTF_8);
        }

        String expectedRow(int index) {
            String[] names = lineText(0).split("\\|");
            String[] values = lineText(index).split("\\|");
            StringBuilder out = new StringBuilder();
            for (int j = 0; j < values.length; j++) {
                out.append(j > 0 ? "," : "").append(names[j]).append('=').append(values[j]);
            }
            return out.toString();
        }

        byte[] expectedAfter(Op op) {
            byte[] line = (ROW_LINE + "\n").repeat(op == Op.BATCH ? BATCH_RECORDS.size() : 1)
                    .getBytes(StandardCharsets.UTF_8);
            int at = op == Op.INSERT ? lineStart(mid) : bytes.length;
            byte[] out = new byte[bytes.length + line.length];
            System.arraycopy(bytes, 0, out, 0, at);
            System.arraycopy(line, 0, out, at, line.length);
            System.arraycopy(bytes, at, out, at + line.length, bytes.length - at);
            return out;
        }
    }

    /** A system under measurement. */
    abstract static class Sys {
        final String name;
        Table table;

        Sys(String name) {
            this.name = name;
        }

        void prepare(Table t, Path work) throws Exception {
            table = t;
        }

        boolean supports(Op op) {
            return op != Op.INIT && op != Op.AFTER_CHANGE;
        }

        /** The rows a step shows after its write: the new one, and 8 spread over the table. */
        int[] stepRows() {
            int[] rows = new int[9];
            rows[0] = table.rows + 1;
            for (int k = 1; k <= 8; k++) {
                rows[k] = Math.max(1, (int) ((long) table.rows * k / 9));
            }
            return rows;
        }

        /** Runs {@code n} calls of {@code op} and returns the nanoseconds spent in them. */
        abstract long round(Op op, int n) throws Exception;

        /** Runs {@code op} once and reports a mismatch with the expected outcome, or null. */
        abstract String check(Op op) throws Exception;

        void close() throws Exception {}
    }

    /** Systems that keep the table in a file of their own, restored between writes. */
    abstract static class FileSys extends Sys {
        Path file;
        /** Syncs each restore, so that a durable write is not charged for its pages. */
        boolean syncRestore;

        FileSys(String name) {
            super(name);
        }

        @Override
        void prepare(Table t, Path work) throws Exception {
            super.prepare(t, work);
            // Prefixed: the system "Table" must not land on the pristine table-N.txt.
            file = work.resolve("copy-" + name + "-" + t.rows + ".txt");
            Files.copy(t.pristine, file, StandardCopyOption.REPLACE_EXISTING);
        }

        /**
         * Puts the pristine bytes back from {@code from} on, where the last call began to
         * write, and cuts the file to the pristine length (pwrite + ftruncate, same inode).
         */
        void restore(int from) throws IOException {
            try (FileChannel ch = FileChannel.open(file, StandardOpenOption.WRITE)) {
                ByteBuffer b = ByteBuffer.wrap(table.bytes, from, table.bytes.length - from);
                long pos = from;
                while (b.hasRemaining()) {
                    pos += ch.write(b, pos);
                }
                ch.truncate(table.bytes.length);
                if (syncRestore) {
                    ch.force(false);
                }
            }
        }

        String compareFile(Op op) throws IOException {
            byte[] got = Files.readAllBytes(file);
            restore(0);
            return Arrays.equals(got, table.expectedAfter(op))
                    ? null
                    : "file content differs after one call";
        }
    }

    /** Java systems called in this process: the library through JNI and the pure-Java peer. */
    abstract static class InProcess extends FileSys {
        static volatile long sink;

        InProcess(String name) {
            super(name);
        }

        @Override
        boolean supports(Op op) {
            return true;
        }

        abstract void init(String path);

        abstract int count();

        abstract String row(int index);

        abstract void append(String text);

        abstract void insert(String text, int line);

        void appendAll(List<String> records) {
            for (String r : records) {
                append(r);
            }
        }

        @Override
        long round(Op op, int n) throws Exception {
            String path = file.toString();
            init(path);
            int mid = table.mid;
            long acc = 0;
            long total = 0;
            switch (op) {
                case INIT -> {
                    long t0 = System.nanoTime();
                    for (int i = 0; i < n; i++) {
                        init(path);
                    }
                    total = System.nanoTime() - t0;
                }
                case COUNT -> {
                    long t0 = System.nanoTime();
                    for (int i = 0; i < n; i++) {
                        acc += count();
                    }
                    total = System.nanoTime() - t0;
                }
                case ROW -> {
                    long t0 = System.nanoTime();
                    for (int i = 0; i < n; i++) {
                        acc += row(mid).length();
                    }
                    total = System.nanoTime() - t0;
                }
                case AFTER_CHANGE -> {
                    // Another program's append, then the call that must see it.
                    byte[] line = (ROW_LINE + "\n").getBytes(StandardCharsets.UTF_8);
                    for (int i = 0; i < n; i++) {
                        restore(table.bytes.length);
                        Files.write(file, line, StandardOpenOption.APPEND);
                        long t0 = System.nanoTime();
                        acc += count();
                        total += System.nanoTime() - t0;
                    }
                    restore(0);
                }
                case STEP -> {
                    int[] rows = stepRows();
                    for (int i = 0; i < n; i++) {
                        // Put back and read once, untimed: every step starts from the
                        // table as a running server has it.
                        restore(table.bytes.length);
                        acc += count() + row(1).length();
                        long t0 = System.nanoTime();
                        append(RECORD);
                        acc += count();
                        for (int r : rows) {
                            acc += row(r).length();
                        }
                        total += System.nanoTime() - t0;
                    }
                    restore(0);
                }
                case APPEND, INSERT, BATCH -> {
                    int from = op == Op.INSERT ? table.insertAt : table.bytes.length;
                    for (int i = 0; i < n; i++) {
                        restore(from);
                        long t0 = System.nanoTime();
                        switch (op) {
                            case APPEND -> append(RECORD);
                            case INSERT -> insert(RECORD, mid);
                            default -> appendAll(BATCH_RECORDS);
                        }
                        total += System.nanoTime() - t0;
                    }
                    restore(0);
                }
            }
            sink += acc;
            return total;
        }

        @Override
        String check(Op op) throws Exception {
            init(file.toString());
            return switch (op) {
                case INIT -> null;
                case COUNT -> expect(String.valueOf(count()), String.valueOf(table.rows));
                case AFTER_CHANGE -> {
                    count();
                    Files.write(file, (ROW_LINE + "\n").getBytes(StandardCharsets.UTF_8),
                            StandardOpenOption.APPEND);
                    String bad = expect(String.valueOf(count()), String.valueOf(table.rows + 1));
                    restore(0);
                    yield bad;
                }
                case ROW -> expect(row(table.mid), table.expectedRow(table.mid));
                case STEP -> {
                    count();
                    append(RECORD);
                    String bad = expect(count() + " " + row(table.rows + 1) + " " + row(table.mid),
                            (table.rows + 1) + " " + ROW_TEXT + " " + table.expectedRow(table.mid));
                    restore(0);
                    yield bad;
                }
                case APPEND -> {
                    append(RECORD);
                    yield compareFile(op);
                }
                case INSERT -> {
                    insert(RECORD, table.mid);
                    yield compareFile(op);
                }
                case BATCH -> {
                    appendAll(BATCH_RECORDS);
                    yield compareFile(op);
                }
            };
        }
    }

    static final class Library extends InProcess {
        Library() {
            super("library");
        }

        @Override
        void init(String path) {
            gameserver.DBIface.init(path);
        }

        @Override
        int count() {
            return gameserver.DBIface.getNumRows();
        }

        @Override
        String row(int index) {
            return gameserver.DBIface.getRow(index);
        }

        @Override
        void append(String text) {
            gameserver.DBIface.writeRow(text);
        }

        @Override
        void insert(String text, int line) {
            gameserver.DBIface.writeRowToLine(text, line);
        }
    }

    /** The per-file handle, gameserver.dbiface.Table, opened once per table size. */
    static final class TableHandle extends InProcess {
        private gameserver.dbiface.Table t;
        private String path;

        TableHandle() {
            super("Table");
        }

        @Override
        boolean supports(Op op) {
            return op != Op.INIT;
        }

        @Override
        void init(String path) {
            if (!path.equals(this.path)) {
                close();
                t = gameserver.dbiface.Table.open(Path.of(path));
                this.path = path;
            }
        }

        @Override
        int count() {
            return t.rowCount();
        }

        @Override
        String row(int index) {
            return t.rowText(index);
        }

        @Override
        void append(String text) {
            t.append(text);
        }

        @Override
        void insert(String text, int line) {
            t.insert(line, text);
        }

        @Override
        void appendAll(List<String> records) {
            t.appendAll(records);
        }

        @Override
        void close() {
            if (t != null) {
                t.close();
            }
        }
    }

    static final class Peer extends InProcess {
        private final PurePeer peer = new PurePeer();

        Peer() {
            super("java-peer");
        }

        @Override
        void init(String path) {
            peer.init(path);
        }

        @Override
        int count() {
            return peer.getNumRows();
        }

        @Override
        String row(int index) {
            return peer.getRow(index);
        }

        @Override
        void append(String text) {
            peer.writeRow(text);
        }

        @Override
        void insert(String text, int line) {
            peer.writeRowToLine(text, line);
        }
    }

    /**
     * A child process that times itself the same way: the floor program, or this class
     * serving the library in a JVM of its own ({@code --serve}, answers on standard error,
     * so that the library's trace lines keep standard output).
     */
    static final class Floor extends FileSys {
        private final Process proc;
        private final BufferedWriter to;
        private final BufferedReader from;
        private final Set<Op> ops;
        private final String suffix;

        Floor(String name, List<String> command, boolean jvm, Set<Op> ops, String suffix)
                throws IOException {
            super(name);
            this.ops = ops;
            this.suffix = suffix;
            ProcessBuilder pb = new ProcessBuilder(command);
            if (jvm) {
                pb.redirectOutput(ProcessBuilder.Redirect.INHERIT);
            } else {
                pb.redirectError(ProcessBuilder.Redirect.INHERIT);
            }
            proc = pb.start();
            to = new BufferedWriter(
                    new OutputStreamWriter(proc.getOutputStream(), StandardCharsets.UTF_8));
            from = new BufferedReader(new InputStreamReader(
                    jvm ? proc.getErrorStream() : proc.getInputStream(), StandardCharsets.UTF_8));
            String answer = ask("line", ROW_LINE);
            if (!answer.equals("ok")) {
                throw new IOException(name + ": " + answer);
            }
        }

        @Override
        boolean supports(Op op) {
            return ops.contains(op);
        }

        private String ask(String... fields) throws IOException {
            to.write(String.join("\t", fields));
            to.newLine();
            to.flush();
            for (;;) {
                String answer = from.readLine();
                if (answer == null) {
                    throw new IOException(name + " ended");
                }
                if (answer.startsWith("ok") || answer.startsWith("error")) {
                    return answer;
                }
                System.err.println(name + ": " + answer);  // the child JVM's own messages
            }
        }

        private String okValue(String answer) throws IOException {
            if (answer.equals("ok")) {
                return "";
            }
            if (!answer.startsWith("ok ")) {
                throw new IOException(name + ": " + answer);
            }
            return answer.substring(3);
        }

        private String arg(Op op) {
            return String.valueOf(op == Op.ROW || op == Op.INSERT ? table.mid : 0);
        }

        @Override
        long round(Op op, int n) throws Exception {
            return Long.parseLong(okValue(ask("run", op.floorName + suffix, file.toString(),
                    table.pristine.toString(), String.valueOf(n), arg(op))));
        }

        @Override
        String check(Op op) throws Exception {
            String got = okValue(ask("check", op.floorName + suffix, file.toString(), arg(op)));
            return switch (op) {
                case INIT -> null;
                // The floor re-reads on every call: a change in between costs it nothing.
                case COUNT, AFTER_CHANGE -> expect(got, String.valueOf(table.rows));
                case ROW -> expect(got, table.expectedRow(table.mid));
                case APPEND, INSERT -> compareFile(op);
                case STEP, BATCH -> "no " + op.label + " here";
            };
        }

        @Override
        void close() throws Exception {
            to.close();
            proc.waitFor();
        }
    }

    static final class Sqlite extends Sys {
        private final SqlitePeer.Mode mode;
        private SqlitePeer db;

        Sqlite(SqlitePeer.Mode mode) {
            super(mode.label);
            this.mode = mode;
        }

        @Override
        void prepare(Table t, Path work) throws Exception {
            super.prepare(t, work);
            if (db != null) {
                db.close();
            }
            db = new SqlitePeer(work.resolve(name + "-" + t.rows + ".db"), mode, t.pristine);
        }

        @Override
        long round(Op op, int n) throws Exception {
            int mid = table.mid;
            long acc = 0;
            long total = 0;
            switch (op) {
                case COUNT -> {
                    long t0 = System.nanoTime();
                    for (int i = 0; i < n; i++) {
                        acc += db.getNumRows();
                    }
                    total = System.nanoTime() - t0;
                }
                case ROW -> {
                    long t0 = System.nanoTime();
                    for (int i = 0; i < n; i++) {
                        acc += db.getRow(mid).length();
                    }
                    total = System.nanoTime() - t0;
                }
                case APPEND -> {
                    for (int i = 0; i < n; i++) {
                        long t0 = System.nanoTime();
                        db.writeRow(RECORD);
                        total += System.nanoTime() - t0;
                        db.undoAppend();
                    }
                }
                case INSERT -> {
                    for (int i = 0; i < n; i++) {
                        long t0 = System.nanoTime();
                        db.writeRowToLine(RECORD, mid);
                        total += System.nanoTime() - t0;
                        db.undoInsert(mid);
                    }
                }
                case STEP -> {
                    int[] rows = stepRows();
                    for (int i = 0; i < n; i++) {
                        long t0 = System.nanoTime();
                        db.writeRow(RECORD);
                        acc += db.getNumRows();
                        for (int r : rows) {
                            acc += db.getRow(r).length();
                        }
                        total += System.nanoTime() - t0;
                        db.undoAppend();
                    }
                }
                case BATCH -> {
                    for (int i = 0; i < n; i++) {
                        long t0 = System.nanoTime();
                        db.appendAll(BATCH_RECORDS);
                        total += System.nanoTime() - t0;
                        db.undoAppendsAfter(table.rows);
                    }
                }
                case INIT -> throw new IllegalArgumentException("no init for " + name);
            }
            InProcess.sink += acc;
            return total;
        }

        @Override
        String check(Op op) throws Exception {
            switch (op) {
                case COUNT:
                    return expect(String.valueOf(db.getNumRows()), String.valueOf(table.rows));
                case ROW:
                    return expect(db.getRow(table.mid), table.expectedRow(table.mid));
                case APPEND:
                case STEP: {
                    db.writeRow(RECORD);
                    String bad = expect(db.getNumRows() + " " + db.getRow(table.rows + 1),
                            (table.rows + 1) + " " + ROW_TEXT);
                    db.undoAppend();
                    return bad;
                }
                case INSERT: {
                    db.writeRowToLine(RECORD, table.mid);
                    String bad = expect(db.getRow(table.mid) + " " + db.getRow(table.mid + 1),
                            ROW_TEXT + " " + table.expectedRow(table.mid));
                    db.undoInsert(table.mid);
                    return bad;
                }
                case BATCH: {
                    db.appendAll(BATCH_RECORDS);
                    int last = table.rows + BATCH_RECORDS.size();
                    String bad = expect(db.getNumRows() + " " + db.getRow(last), last + " " + ROW_TEXT);
                    db.undoAppendsAfter(table.rows);
                    return bad;
                }
                default:
                    return null;
            }
        }

        @Override
        void close() throws Exception {
            if (db != null) {
                db.close();
            }
        }
    }

    /** The child side of library-full: the floor program's protocol, answered on stderr. */
    static void serve() throws IOException {
        BufferedReader in = new BufferedReader(new InputStreamReader(System.in, StandardCharsets.UTF_8));
        Library lib = new Library();
        lib.syncRestore = true;
        Map<Path, Table> tables = new LinkedHashMap<>();
        for (String l; (l = in.readLine()) != null; ) {
            String[] a = l.split("\t");
            String answer;
            try {
                if (a[0].equals("line")) {
                    answer = "ok";
                } else if (a[0].equals("run")) {
                    Path pristine = Path.of(a[3]);
                    Table t = tables.get(pristine);
                    if (t == null) {
                        byte[] b = Files.readAllBytes(pristine);
                        tables.put(pristine, t = new Table(countLines(b) - 1, pristine));
                    }
                    lib.table = t;
                    lib.file = Path.of(a[2]);
                    answer = "ok " + lib.round(Op.ofFloorName(a[1]), Integer.parseInt(a[4]));
                } else {
                    Op op = Op.ofFloorName(a[1]);
                    int arg = Integer.parseInt(a[3]);
                    lib.init(a[2]);
                    answer = switch (op) {
                        case COUNT -> "ok " + lib.count();
                        case ROW -> "ok " + lib.row(arg);
                        case APPEND -> {
                            lib.append(RECORD);
                            yield "ok";
                        }
                        case INSERT -> {
                            lib.insert(RECORD, arg);
                            yield "ok";
                        }
                        default -> "error no " + op.label;
                    };
                }
            } catch (Exception | Error e) {
                answer = "error " + e;
            }
            System.err.println(answer.replace('\n', ' '));
            System.err.flush();
        }
    }

    static String expect(String got, String want) {
        return got.equals(want) ? null : "got \"" + got + "\", expected \"" + want + "\"";
    }

    /** Median and range of one system's ns/op over the measured rounds. */
    record Stat(double median, double min, double max) {
        static Stat of(List<Double> xs) {
            double[] v = xs.stream().mapToDouble(Double::doubleValue).sorted().toArray();
            int n = v.length;
            double med = n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
            return new Stat(med, v[0], v[n - 1]);
        }
    }

    static final class Settings {
        boolean quick;
        int rounds = 21;
        long warmNs = 300_000_000L;
        long roundNs = 15_000_000L;
        int[] sizes = {50, 1_000, 100_000};
        Path work;
        Path floor;
        Path out;
        Path jar;
        boolean sqlite = true;
        boolean library = true;
        final List<String> notes = new ArrayList<>();

        void quick() {
            quick = true;
            rounds = 3;
            warmNs = 30_000_000L;
            roundNs = 4_000_000L;
        }
    }

    private final Settings set;
    private final PrintStream err = System.err;
    private final List<Sys> systems = new ArrayList<>();
    private final List<String> notes = new ArrayList<>();
    private final List<String> failures = new ArrayList<>();
    /** size -> op -> system -> stat */
    private final Map<Integer, Map<Op, Map<String, Stat>>> results = new LinkedHashMap<>();
    /** size -> [list through the CLI, getRow loop], ms */
    private final Map<Integer, Stat[]> scans = new LinkedHashMap<>();
    private String loadAtStart = "unknown";

    BenchDriver(Settings set) {
        this.set = set;
        notes.addAll(set.notes);
    }

    public static void main(String[] args) throws Exception {
        Settings set = new Settings();
        for (int i = 0; i < args.length; i++) {
            switch (args[i]) {
                case "--quick" -> set.quick();
                case "--rounds" -> set.rounds = Integer.parseInt(args[++i]);
                case "--sizes" -> set.sizes = Arrays.stream(args[++i].split(","))
                        .mapToInt(Integer::parseInt).toArray();
                case "--work" -> set.work = Path.of(args[++i]);
                case "--floor" -> set.floor = Path.of(args[++i]);
                case "--out" -> set.out = Path.of(args[++i]);
                case "--no-sqlite" -> set.sqlite = false;
                case "--no-library" -> set.library = false;
                case "--note" -> set.notes.add(args[++i]);
                case "--jar" -> set.jar = Path.of(args[++i]);
                case "--serve" -> {
                    serve();
                    return;
                }
                default -> {
                    System.err.println("unknown option " + args[i]);
                    System.exit(2);
                }
            }
        }
        if (set.work == null || set.floor == null) {
            System.err.println("usage: BenchDriver --work DIR --floor PROGRAM [--quick]"
                    + " [--rounds N] [--sizes 50,1000,...] [--out FILE] [--no-sqlite]"
                    + " [--no-library] [--note TEXT]");
            System.exit(2);
        }
        System.exit(new BenchDriver(set).run());
    }

    int run() throws Exception {
        loadAtStart = loadAverage();
        checkStdout();
        if (set.library) {
            try {
                Class.forName("gameserver.DBIface");
                systems.add(new Library());
            } catch (Throwable t) {
                notes.add("library not measured: " + t);
            }
            try {
                Class.forName("gameserver.dbiface.Table");
                systems.add(new TableHandle());
            } catch (Throwable t) {
                notes.add("Table not measured: " + t);
            }
        } else {
            notes.add("library not measured: --no-library");
        }
        Set<Op> reads = EnumSet.of(Op.COUNT, Op.ROW);
        Set<Op> calls = EnumSet.of(Op.COUNT, Op.ROW, Op.APPEND, Op.INSERT);
        if (!systems.isEmpty()) {
            // The same library with durable writes needs a JVM of its own: the mode is read
            // when the class loads.
            List<String> cmd = new ArrayList<>();
            cmd.add(ProcessHandle.current().info().command().orElse("java"));
            cmd.addAll(ManagementFactory.getRuntimeMXBean().getInputArguments());
            cmd.addAll(List.of("-Dgameserver.dbiface.sync=full", "-cp",
                    System.getProperty("java.class.path"), "BenchDriver", "--serve"));
            systems.add(new Floor("library-full", cmd, true, calls, ""));
        }
        Set<Op> floorOps = EnumSet.copyOf(calls);
        floorOps.add(Op.AFTER_CHANGE);
        List<String> floorCmd = List.of(set.floor.toString());
        systems.add(new Floor("floor", floorCmd, false, floorOps, ""));
        systems.add(new Floor("floor-cached", floorCmd, false, reads, "-cached"));
        systems.add(new Peer());
        if (!set.sqlite) {
            notes.add("SQLite not measured: --no-sqlite");
        } else {
            for (SqlitePeer.Mode mode : SqlitePeer.Mode.values()) {
                if (mode.available()) {
                    systems.add(new Sqlite(mode));
                } else {
                    notes.add(mode.label + " not measured: no JDBC driver for it on the class path");
                }
            }
        }
        long start = System.nanoTime();
        try {
            for (int rows : set.sizes) {
                measureSize(rows);
            }
        } finally {
            for (Sys s : systems) {
                s.close();
            }
        }
        String report = report((System.nanoTime() - start) / 1e9);
        err.print(report);
        if (set.out != null) {
            Files.writeString(set.out, report);
        }
        return failures.isEmpty() ? 0 : 1;
    }

    private void checkStdout() {
        try {
            Path target = Files.readSymbolicLink(Path.of("/proc/self/fd/1"));
            if (!target.toString().equals("/dev/null")) {
                notes.add("standard output is " + target + ", not /dev/null: the library's trace"
                        + " lines cost more than in the intended setting");
            }
        } catch (IOException | UnsupportedOperationException e) {
            notes.add("could not tell where standard output goes: " + e);
        }
    }

    private void measureSize(int rows) throws Exception {
        Table t = new Table(rows, set.work.resolve("table-" + rows + ".txt"));
        if (t.rows != countLines(t.bytes) - 1) {
            throw new IllegalStateException(t.pristine + " does not hold " + rows + " rows");
        }
        List<Sys> ready = new ArrayList<>();
        for (Sys s : systems) {
            try {
                s.prepare(t, set.work);
                ready.add(s);
            } catch (Exception e) {
                failures.add(rows + " rows, " + s.name + ": prepare failed: " + e);
            }
        }
        Map<Op, Map<String, Stat>> byOp = new LinkedHashMap<>();
        results.put(rows, byOp);
        for (Op op : Op.values()) {
            List<Sys> active = new ArrayList<>();
            for (Sys s : ready) {
                if (!s.supports(op)) {
                    continue;
                }
                try {
                    String bad = s.check(op);
                    if (bad == null) {
                        active.add(s);
                    } else {
                        failures.add(rows + " rows, " + s.name + ", " + op.label + ": " + bad);
                    }
                } catch (Exception e) {
                    failures.add(rows + " rows, " + s.name + ", " + op.label + ": " + e);
                }
            }
            byOp.put(op, measure(op, active, rows));
        }
        for (Sys s : ready) {
            if (s instanceof Library lib) {
                measureScans(lib, t);
            }
        }
    }

    /** Every row of the table: the CLI's list end to end, and a Java loop of getRow. */
    private void measureScans(Library lib, Table t) throws Exception {
        String java = ProcessHandle.current().info().command().orElse("java");
        String file = lib.file.toString();
        Path listed = set.work.resolve("listed.txt");
        if (set.jar != null) {
            Process p = new ProcessBuilder(java, "-jar", set.jar.toString(), file, "list", "-o",
                    listed.toString()).redirectOutput(ProcessBuilder.Redirect.DISCARD)
                    .redirectError(ProcessBuilder.Redirect.INHERIT).start();
            List<String> got = p.waitFor() == 0 ? Files.readAllLines(listed) : List.of();
            if (got.size() != t.rows || !got.get(t.mid - 1).equals(t.expectedRow(t.mid))) {
                failures.add(t.rows + " rows, CLI list: wrong output");
                return;
            }
        }
        lib.init(file);
        if (!lib.row(1).equals(t.expectedRow(1)) || !lib.row(t.rows).equals(t.expectedRow(t.rows))) {
            failures.add(t.rows + " rows, getRow loop: wrong rows");
            return;
        }
        List<Double> list = new ArrayList<>();
        List<Double> loop = new ArrayList<>();
        for (int r = 0; r < (set.quick ? 1 : 5); r++) {
            long acc = 0;
            long t0 = System.nanoTime();
            for (int i = 1; i <= t.rows; i++) {
                acc += lib.row(i).length();
            }
            loop.add((System.nanoTime() - t0) / 1e6);
            InProcess.sink += acc;
            if (set.jar != null) {
                ProcessBuilder pb = new ProcessBuilder(java, "-jar", set.jar.toString(), file, "list")
                        .redirectOutput(ProcessBuilder.Redirect.DISCARD)
                        .redirectError(ProcessBuilder.Redirect.INHERIT);
                t0 = System.nanoTime();
                int rc = pb.start().waitFor();
                list.add((System.nanoTime() - t0) / 1e6);
                if (rc != 0) {
                    failures.add(t.rows + " rows, CLI list: exit " + rc);
                }
            }
        }
        scans.put(t.rows, new Stat[] {list.isEmpty() ? null : Stat.of(list), Stat.of(loop)});
    }

    private static int countLines(byte[] b) {
        int n = 0;
        for (byte x : b) {
            if (x == '\n') {
                n++;
            }
        }
        return n;
    }

    /** Warm-up, then rounds with the systems taking turns in a rotating order. */
    private Map<String, Stat> measure(Op op, List<Sys> active, int rows) {
        Map<String, Integer> perRound = new LinkedHashMap<>();
        List<Sys> measured = new ArrayList<>();
        for (Sys s : active) {
            try {
                long spent = 0;
                long calls = 0;
                for (int n = 1; spent < set.warmNs || calls < 3; n = Math.min(n * 2, 1 << 16)) {
                    long t0 = System.nanoTime();
                    s.round(op, n);
                    spent += System.nanoTime() - t0;
                    calls += n;
                }
                // Wall time per call, restores and pipe included, sizes the rounds.
                double wallPerCall = (double) spent / calls;
                int max = op.writes() ? 200 : 100_000;
                perRound.put(s.name, (int) Math.max(1, Math.min(max, set.roundNs / wallPerCall)));
                measured.add(s);
            } catch (Exception e) {
                failures.add(rows + " rows, " + s.name + ", " + op.label + ": warm-up: " + e);
            }
        }
        Map<String, List<Double>> samples = new LinkedHashMap<>();
        for (Sys s : measured) {
            samples.put(s.name, new ArrayList<>());
        }
        List<Sys> broken = new ArrayList<>();
        for (int r = 0; r < set.rounds; r++) {
            for (int k = 0; k < measured.size(); k++) {
                Sys s = measured.get((k + r) % measured.size());
                if (broken.contains(s)) {
                    continue;
                }
                int n = perRound.get(s.name);
                try {
                    samples.get(s.name).add((double) s.round(op, n) / n);
                } catch (Exception e) {
                    broken.add(s);
                    failures.add(rows + " rows, " + s.name + ", " + op.label + ": " + e);
                }
            }
        }
        Map<String, Stat> stats = new LinkedHashMap<>();
        for (Sys s : measured) {
            if (!broken.contains(s)) {
                stats.put(s.name, Stat.of(samples.get(s.name)));
            }
        }
        return stats;
    }

    private String report(double seconds) {
        StringBuilder sb = new StringBuilder();
        sb.append("## Table calls, ns per call: median (min-max over ")
                .append(set.rounds).append(" rounds)\n\n");
        machine(sb);
        sb.append('\n');
        List<String> names = new ArrayList<>();
        for (Sys s : systems) {
            names.add(s.name);
        }
        boolean lib = names.contains("library");
        List<String> ratioTo = new ArrayList<>();
        if (lib) {
            for (String n : names) {
                if (!n.startsWith("library") && !n.equals("Table")) {
                    ratioTo.add(n);
                }
            }
        }
        boolean fullVsSqlite = names.contains("library-full") && names.contains("sqlite");
        List<String> head = new ArrayList<>(List.of("rows", "call"));
        head.addAll(names);
        for (String n : ratioTo) {
            head.add("lib/" + n.replace("java-", ""));
        }
        if (fullVsSqlite) {
            head.add("full/sqlite");
        }
        boolean handle = lib && names.contains("Table");
        boolean handleVsWal = handle && names.contains("sqlite-wal");
        if (handle) {
            head.add("Table/lib");
        }
        if (handleVsWal) {
            head.add("Table/wal");
        }
        List<List<String>> cells = new ArrayList<>();
        for (var bySize : results.entrySet()) {
            for (var byOp : bySize.getValue().entrySet()) {
                Map<String, Stat> st = byOp.getValue();
                if (st.isEmpty()) {
                    continue;
                }
                List<String> row = new ArrayList<>();
                row.add(String.format(Locale.ROOT, "%,d", bySize.getKey()));
                row.add(byOp.getKey().label);
                for (String n : names) {
                    Stat s = st.get(n);
                    row.add(s == null ? "-" : String.format(Locale.ROOT, "%,.0f (%,.0f-%,.0f)",
                            s.median(), s.min(), s.max()));
                }
                Stat l = st.get("library");
                for (String n : ratioTo) {
                    Stat o = st.get(n);
                    row.add(ratio(l, o));
                }
                if (fullVsSqlite) {
                    row.add(ratio(st.get("library-full"), st.get("sqlite")));
                }
                if (handle) {
                    row.add(ratio(st.get("Table"), l));
                }
                if (handleVsWal) {
                    row.add(ratio(st.get("Table"), st.get("sqlite-wal")));
                }
                cells.add(row);
            }
        }
        table(sb, head, cells);
        sb.append('\n');
        if (lib) {
            sb.append("lib/X: median of the library over median of X;"
                    + " below 1 the library is faster.\n");
        }
        sb.append("floor: open+fstat+read+close and a scan (reads),"
                + " open(O_APPEND)+write+close (append), open+fstat+read+pwritev+close (insert);"
                + " no trace lines, no locking.\n");
        sb.append("floor-cached: with the file kept open and watched, the library's freshness"
                + " check (statx of the file and of the path, getpid, a non-blocking inotify read)"
                + " and one trace write to /dev/null; answers from memory.\n");
        sb.append("library-full: the library in a JVM of its own with -Dgameserver.dbiface.sync=full"
                + " (each restore synced, untimed).\n");
        sb.append("getNumRows, 1st after a change: before each call another program appends a row"
                + " (untimed).\n");
        if (handle) {
            sb.append("Table: a gameserver.dbiface.Table opened once per size (untimed), in the row"
                    + " of each DBIface call its counterpart: rowCount, rowText, append(String),"
                    + " insert(row, text); Table/X: its median over X's.\n");
        }
        sb.append("java-peer: plain Java re-reading the file per call; no trace lines.\n");
        if (names.contains("sqlite")) {
            sb.append("sqlite: JDBC, rollback journal, synchronous=FULL; sqlite-wal: WAL,"
                    + " synchronous=NORMAL; connection and statements kept open.\n");
        }
        if (names.contains("h2")) {
            sb.append("h2: the H2 database embedded in the JVM, file mode, its defaults;"
                    + " connection and statements kept open.\n");
        }
        sb.append("step: writeRow, getNumRows, getRow of the new row and of 8 rows spread over"
                + " the table, timed together; before each step the file is restored and read once"
                + " (untimed), SQLite and H2 undo their row after it (untimed).\n");
        sb.append("1000 appends: the same record 1000 times; Table: one appendAll, library and"
                + " java-peer: 1000 writeRow, SQLite and H2: 1000 batched inserts in one"
                + " transaction.\n");
        sb.append("Write calls: the table file is restored (pwrite of the bytes from the write"
                + " position on, ftruncate) before every call, outside the timed region;"
                + " SQLite undoes its row, also untimed.\n");
        if (!scans.isEmpty()) {
            sb.append('\n');
            sb.append("## Every row of the table by the library, wall ms: median (min-max over ")
                    .append(set.quick ? 1 : 5).append(" runs)\n\n");
            List<List<String>> rows = new ArrayList<>();
            for (var e : scans.entrySet()) {
                List<String> row = new ArrayList<>(List.of(String.format(Locale.ROOT, "%,d", e.getKey())));
                for (Stat st : e.getValue()) {
                    row.add(st == null ? "-" : String.format(Locale.ROOT, "%,.1f (%,.1f-%,.1f)",
                            st.median(), st.min(), st.max()));
                }
                rows.add(row);
            }
            table(sb, List.of("rows", "java -jar ... list, end to end", "getRow(1..n) loop in Java"), rows);
            sb.append('\n');
        }
        for (String n : notes) {
            sb.append("note: ").append(n).append('\n');
        }
        for (String f : failures) {
            sb.append("FAILED: ").append(f).append('\n');
        }
        sb.append(String.format(Locale.ROOT, "run took %.1f s\n", seconds));
        return sb.toString();
    }

    private static String ratio(Stat a, Stat b) {
        return a == null || b == null ? "-" : String.format(Locale.ROOT, "%.2f", a.median() / b.median());
    }

    private void machine(StringBuilder sb) {
        String cpu = "?";
        try {
            for (String l : Files.readAllLines(Path.of("/proc/cpuinfo"))) {
                if (l.startsWith("model name")) {
                    cpu = l.substring(l.indexOf(':') + 1).trim();
                    break;
                }
            }
        } catch (IOException e) {
            cpu = "unknown (" + e.getMessage() + ")";
        }
        sb.append("- when: ").append(Instant.now()).append(set.quick ? ", --quick" : "")
                .append('\n');
        sb.append("- machine: ").append(cpu).append(", ")
                .append(Runtime.getRuntime().availableProcessors()).append(" CPUs, ")
                .append(System.getProperty("os.name")).append(' ')
                .append(System.getProperty("os.version")).append('\n');
        sb.append("- JVM: ").append(System.getProperty("java.vm.name")).append(' ')
                .append(System.getProperty("java.vm.version")).append(", ")
                .append(String.join(" ", ManagementFactory.getRuntimeMXBean().getInputArguments()))
                .append('\n');
        sb.append("- load average (1, 5, 15 min) at start: ").append(loadAtStart)
                .append(", at end: ").append(loadAverage()).append('\n');
        sb.append("- table files in ").append(set.work).append(" (").append(fsType(set.work))
                .append("), rows of about 25 bytes, getRow and writeRowToLine at the middle row\n");
    }

    private static String loadAverage() {
        try {
            String[] f = Files.readString(Path.of("/proc/loadavg")).trim().split(" ");
            return f[0] + " " + f[1] + " " + f[2];
        } catch (IOException | ArrayIndexOutOfBoundsException e) {
            return "unknown";
        }
    }

    private static String fsType(Path dir) {
        String best = "";
        String type = "unknown file system";
        try {
            String real = dir.toRealPath().toString();
            for (String l : Files.readAllLines(Path.of("/proc/mounts"))) {
                String[] f = l.split(" ");
                if (f.length < 3) {
                    continue;
                }
                String prefix = f[1].endsWith("/") ? f[1] : f[1] + "/";
                if ((real.equals(f[1]) || real.startsWith(prefix)) && f[1].length() >= best.length()) {
                    best = f[1];
                    type = f[2];
                }
            }
        } catch (IOException e) {
            throw new UncheckedIOException(e);
        }
        return type;
    }

    private static void table(StringBuilder sb, List<String> head, List<List<String>> rows) {
        int[] w = new int[head.size()];
        for (int i = 0; i < w.length; i++) {
            w[i] = head.get(i).length();
            for (List<String> r : rows) {
                w[i] = Math.max(w[i], r.get(i).length());
            }
        }
        line(sb, head, w);
        StringBuilder rule = new StringBuilder("|");
        for (int i = 0; i < w.length; i++) {
            String dashes = "-".repeat(w[i] + 1);
            rule.append(i == 1 ? ":" + dashes : dashes + ":").append('|');
        }
        sb.append(rule).append('\n');
        for (List<String> r : rows) {
            line(sb, r, w);
        }
    }

    private static void line(StringBuilder sb, List<String> cells, int[] w) {
        sb.append('|');
        for (int i = 0; i < w.length; i++) {
            String c = cells.get(i);
            sb.append(' ');
            String pad = " ".repeat(w[i] - c.length());
            sb.append(i == 1 ? c + pad : pad + c);
            sb.append(" |");
        }
        sb.append('\n');
    }
}
