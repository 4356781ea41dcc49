package gameserver.reliability;

import static org.junit.jupiter.api.Assertions.assertEquals;

import gameserver.DBIface;
import gameserver.dbiface.Table;
import java.io.FileOutputStream;
import java.io.IOException;
import java.io.OutputStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.HashMap;
import java.util.List;
import java.util.Map;
import java.util.SplittableRandom;
import java.util.concurrent.ConcurrentLinkedQueue;
import org.junit.jupiter.api.Test;

/**
 * Writers and readers on one table, for the reliability tests.
 *
 * <ul>
 *   <li>{@code threads} (also the JUnit test {@link #eightThreads}): 8 threads x 500 mixed calls on one table; every record must end up in
 *       the table exactly once, every line well-formed, every row read must be in the table.
 *   <li>{@code hammer PATH TAG N SEED}: N writes of records TAG0.. mixed with reads, next to
 *       other processes on the same table (checked afterwards by {@code dbtool check}).
 *   <li>{@code busy PATH}: while another process holds the table's write lock, reads and writes
 *       give up with an UncheckedIOException naming the table; once it is released they work.
 *   <li>{@code fsize PATH LIMIT}: run under {@code ulimit -f} of LIMIT bytes, on a table 10 bytes
 *       short of it: a write that
 *       fits succeeds, writes past the limit raise UncheckedIOException and change nothing.
 *   <li>{@code loop PATH SEED MODE ROWS COUNT}: the kill loop's operation stream (the same as
 *       {@code dbtool loop}); one byte to fd 3 after each completed operation. MODE {@code b}
 *       appends batches through {@link Table#appendAll}.
 * </ul>
 */
public final class Stress {
    @Test
    void eightThreads() throws Exception {
        assertEquals(0, threads(8, 500), () -> String.join("\n", ERRORS));
    }

    public static void main(String[] args) throws Exception {
        switch (args.length > 0 ? args[0] : "") {
            case "threads" -> System.exit(threads(8, 500));
            case "hammer" -> System.exit(hammer(args[1], args[2], Integer.parseInt(args[3]),
                    Long.parseLong(args[4])));
            case "busy" -> System.exit(busy(args[1]));
            case "fsize" -> System.exit(fsize(args[1], Integer.parseInt(args[2])));
            case "loop" -> System.exit(args[3].equals("b")
                    ? batchLoop(args[1], Long.parseLong(args[2]), Long.parseLong(args[5]))
                    : loop(args[1], Long.parseLong(args[2]), args[3].charAt(0), Long.parseLong(args[4]),
                            Long.parseLong(args[5])));
            default -> {
                System.err.println("usage: Stress threads | hammer PATH TAG N SEED | loop PATH SEED MODE ROWS COUNT");
                System.exit(2);
            }
        }
    }

    // ---- the kill loop's operation stream (tests/reliability/harness.h) -----------------------

    static long mix(long x) {
        x += 0x9E3779B97F4A7C15L;
        x = (x ^ (x >>> 30)) * 0xBF58476D1CE4E5B9L;
        x = (x ^ (x >>> 27)) * 0x94D049BB133111EBL;
        return x ^ (x >>> 31);
    }

    static String record(long seed, long i) {
        long r = mix(seed * 0x9E3779B97F4A7C15L + i);
        return " SCORE=" + i + ", NAME=k" + seed + "x" + i + " ,DATE=d" + Long.remainderUnsigned(r, 1000);
    }

    static int loop(String path, long seed, char mode, long rows, long count) throws IOException {
        DBIface.init(path);
        try (OutputStream progress = new FileOutputStream("/dev/fd/3")) {
            for (long i = 0; i < count; i++) {
                long r = mix(seed * 0x9E3779B97F4A7C15L + i);
                String record = record(seed, i);
                boolean insert = mode == 'i' || (mode == 'm' && ((r >>> 20) & 1) == 1);
                if (insert) {
                    DBIface.writeRowToLine(record, 1 + (int) Long.remainderUnsigned(r >>> 32, rows + i + 1));
                } else {
                    DBIface.writeRow(record);
                }
                progress.write(1);
            }
        }
        return 0;
    }

    static final int BATCH = 1000;  // rel::kBatch

    static int batchLoop(String path, long seed, long count) throws IOException {
        try (Table table = Table.open(Path.of(path));
                OutputStream progress = new FileOutputStream("/dev/fd/3")) {
            for (long i = 0; i < count; i++) {
                List<String> records = new ArrayList<>(BATCH);
                for (int j = 0; j < BATCH; j++) records.add(record(seed, i * BATCH + j));
                table.appendAll(records);
                progress.write(1);
            }
        }
        return 0;
    }

    // ---- a table locked by another process ---------------------------------------------------

    static int busy(String path) throws InterruptedException {
        DBIface.init(path);
        java.util.List<Call> calls = java.util.List.of(DBIface::getNumRows, () -> DBIface.getRow(1),
                () -> {
                    DBIface.writeRow("NAME=late,SCORE=1,DATE=x");
                    return null;
                });
        for (Call c : calls) {
            long t0 = System.nanoTime();
            try {
                c.run();
                return fail("a call went through while another process held the write lock");
            } catch (java.io.UncheckedIOException e) {
                if (!e.getMessage().contains(path)) {
                    return fail("the lock timeout does not name the table: " + e.getMessage());
                }
            }
            long ms = (System.nanoTime() - t0) / 1_000_000;
            if (ms < 1000) {
                return fail("gave up after " + ms + " ms without waiting");
            }
        }
        // The holder lets go a few seconds later; then a write must go through.
        for (int i = 0;; i++) {
            try {
                DBIface.writeRow("NAME=late,SCORE=1,DATE=x");
                break;
            } catch (java.io.UncheckedIOException e) {
                if (i == 5) {
                    return fail("still locked after the holder ended: " + e.getMessage());
                }
            }
        }
        String last = DBIface.getRow(DBIface.getNumRows());
        if (!last.equals("NAME=late,SCORE=1,DATE=x")) {
            return fail("the write after the lock was released is not the last row: " + last);
        }
        System.out.flush();
        System.err.println("busy: 3 calls gave up on the held lock, the next write went through");
        return 0;
    }

    interface Call {
        Object run();
    }

    // ---- a file size limit -------------------------------------------------------------------

    static int fsize(String path, int limit) throws IOException {
        StringBuilder t = new StringBuilder("NAME|SCORE|DATE\n");
        int size = limit - 10;
        String pad = "p".repeat((size - t.length()) % 20);
        for (int i = 0; t.length() < size; i++) {
            t.append(String.format("r%06d|%06d|abcd", i, i)).append(i == 0 ? pad : "").append('\n');
        }
        Files.writeString(Path.of(path), t);
        if (Files.size(Path.of(path)) != size) {
            return fail("the table is " + Files.size(Path.of(path)) + " bytes, want " + size);
        }
        DBIface.init(path);
        int rows = DBIface.getNumRows();
        DBIface.writeRow("NAME=a");
        String big = "NAME=" + "x".repeat(40) + ",SCORE=1,DATE=2";
        int refused = 0;
        for (int line : new int[] {0, 1, rows / 2, rows + 2}) {
            byte[] before = Files.readAllBytes(Path.of(path));
            try {
                if (line == 0) {
                    DBIface.writeRow(big);
                } else {
                    DBIface.writeRowToLine(big, line);
                }
                return fail("a write past the file size limit succeeded (line " + line + ")");
            } catch (java.io.UncheckedIOException e) {
                refused++;
                if (!(e.getCause() instanceof IOException)) {
                    return fail("UncheckedIOException without an IOException cause");
                }
            }
            if (!java.util.Arrays.equals(before, Files.readAllBytes(Path.of(path)))) {
                return fail("a refused write changed the table (line " + line + ")");
            }
        }
        if (DBIface.getNumRows() != rows + 1 || !DBIface.getRow(rows + 1).equals("NAME=a")) {
            return fail("the write that fits is not in the table");
        }
        System.out.flush();
        System.err.println("fsize: " + refused + " writes past the limit refused, table unchanged, JVM alive");
        return 0;
    }

    // ---- several processes on one table ------------------------------------------------------

    static int hammer(String path, String tag, int n, long seed) {
        DBIface.init(path);
        SplittableRandom rng = new SplittableRandom(seed);
        int seen = DBIface.getNumRows();
        for (int i = 0; i < n;) {
            int kind = rng.nextInt(10);
            if (kind < 2) {
                int now = DBIface.getNumRows();
                if (now < seen) {
                    return fail("row count fell from " + seen + " to " + now);
                }
                seen = now;
            } else if (kind < 4) {
                if (seen > 0) {
                    String row = DBIface.getRow(1 + rng.nextInt(seen));
                    if (!row.startsWith("NAME=") || !row.contains(",SCORE=") || !row.contains(",DATE=")) {
                        return fail("malformed row '" + row + "'");
                    }
                }
            } else {
                String text = "NAME=" + tag + i + ",SCORE=" + i + ",DATE=p";
                if (kind < 7) {
                    DBIface.writeRow(text);
                } else {
                    DBIface.writeRowToLine(text, 1 + rng.nextInt(seen + 1));
                }
                seen++;
                i++;
            }
        }
        return 0;
    }

    // ---- threads of one JVM ------------------------------------------------------------------

    static final ConcurrentLinkedQueue<String> ERRORS = new ConcurrentLinkedQueue<>();

    /** Rows carry their own check: NAME=tKrI,SCORE=I,DATE=tK (or NAME=bI,SCORE=I,DATE=b). */
    static boolean wellFormed(String row) {
        String[] p = row.split(",", -1);
        if (p.length != 3 || !p[0].startsWith("NAME=") || !p[1].startsWith("SCORE=") || !p[2].startsWith("DATE=")) {
            return false;
        }
        String name = p[0].substring(5);
        String score = p[1].substring(6);
        String date = p[2].substring(5);
        return !score.isEmpty() && name.equals((date.equals("b") ? "b" : date + "r") + score);
    }

    static int threads(int threads, int ops) throws Exception {
        Path dir = Files.createTempDirectory("dbiface-jvm-threads");
        Path table = dir.resolve("t.txt");
        // Over 64 KiB, so writers read only the table's edges and rely on the size they see.
        int base = 7000;
        StringBuilder t = new StringBuilder("NAME|SCORE|DATE\n");
        for (int i = 0; i < base; i++) {
            t.append('b').append(i).append('|').append(i).append("|b\n");
        }
        Files.writeString(table, t.toString());
        DBIface.init(table.toString());

        List<List<String>> reads = new ArrayList<>();
        int[] writes = new int[threads];
        List<Thread> pool = new ArrayList<>();
        for (int k = 0; k < threads; k++) {
            final int id = k;
            final List<String> mine = new ArrayList<>();
            reads.add(mine);
            Thread th = new Thread(() -> {
                SplittableRandom rng = new SplittableRandom(id + 1);
                int seen = base;
                for (int op = 0; op < ops; op++) {
                    try {
                        int kind = rng.nextInt(10);
                        if (kind < 2) {
                            int n = DBIface.getNumRows();
                            if (n < seen) {
                                ERRORS.add("row count fell from " + seen + " to " + n);
                            }
                            seen = Math.max(seen, n);
                        } else if (kind < 4) {
                            String row = DBIface.getRow(1 + rng.nextInt(seen));
                            if (!wellFormed(row)) {
                                ERRORS.add("read a row that was never written: '" + row + "'");
                            }
                            mine.add(row);
                        } else {
                            int i = writes[id]++;
                            String text = "NAME=t" + id + "r" + i + ", SCORE=" + i + ", DATE=t" + id;
                            if (kind < 7) {
                                DBIface.writeRow(text);
                            } else {
                                // Rows are only added, so a line up to one past an earlier
                                // count is always valid.
                                DBIface.writeRowToLine(text, 1 + rng.nextInt(seen + 1));
                            }
                            seen++;
                        }
                    } catch (RuntimeException e) {
                        ERRORS.add("thread " + id + ": " + e);
                    }
                }
            });
            pool.add(th);
            th.start();
        }
        for (Thread th : pool) {
            th.join();
        }

        // The file itself: every line three well-formed fields, every record exactly once.
        String bytes = Files.readString(table, StandardCharsets.UTF_8);
        Map<String, Integer> count = new HashMap<>();
        String[] lines = bytes.split("\n", -1);
        if (!lines[lines.length - 1].isEmpty()) {
            ERRORS.add("the table does not end with a line feed");
        }
        for (int i = 1; i < lines.length - 1; i++) {
            String[] f = lines[i].split("\\|", -1);
            String row = f.length == 3 ? "NAME=" + f[0] + ",SCORE=" + f[1] + ",DATE=" + f[2] : lines[i];
            if (!wellFormed(row)) {
                ERRORS.add("malformed line " + i + ": '" + lines[i] + "'");
            }
            count.merge(row, 1, Integer::sum);
        }
        int lost = 0;
        int doubled = 0;
        List<String> expected = new ArrayList<>();
        for (int i = 0; i < base; i++) {
            expected.add("NAME=b" + i + ",SCORE=" + i + ",DATE=b");
        }
        int total = 0;
        for (int k = 0; k < threads; k++) {
            total += writes[k];
            for (int i = 0; i < writes[k]; i++) {
                expected.add("NAME=t" + k + "r" + i + ",SCORE=" + i + ",DATE=t" + k);
            }
        }
        for (String row : expected) {
            int c = count.getOrDefault(row, 0);
            lost += c == 0 ? 1 : 0;
            doubled += c > 1 ? 1 : 0;
        }
        if (count.size() != expected.size() || DBIface.getNumRows() != expected.size()) {
            ERRORS.add("the table has " + count.size() + " distinct rows, want " + expected.size());
        }
        int reads0 = 0;
        for (List<String> mine : reads) {
            for (String row : mine) {
                reads0++;
                if (!count.containsKey(row)) {
                    ERRORS.add("read a row that is not in the table: '" + row + "'");
                }
            }
        }
        System.out.flush();
        System.err.println("jvm threads: " + threads + " threads x " + ops + " calls: " + total + " writes, "
                + reads0 + " rows read, " + lost + " records lost, " + doubled + " doubled, " + ERRORS.size()
                + " errors");
        ERRORS.stream().limit(20).forEach(e -> System.err.println("FAIL " + e));
        Files.deleteIfExists(table);
        Files.deleteIfExists(dir);
        return lost == 0 && doubled == 0 && ERRORS.isEmpty() ? 0 : 1;
    }

    static int fail(String what) {
        System.err.println("FAIL " + what);
        return 1;
    }
}
