package gameserver.reliability;

import static org.junit.jupiter.api.Assertions.assertEquals;

import gameserver.DBIface;
import java.io.ByteArrayOutputStream;
import java.io.UncheckedIOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.SplittableRandom;
import java.util.stream.Stream;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.Arguments;
import org.junit.jupiter.params.provider.MethodSource;

/**
 * Hostile input through the JVM: arbitrary table bytes, any Java string, any int. The library
 * may refuse (IllegalArgumentException, IndexOutOfBoundsException, UncheckedIOException) but
 * must never crash, return null, or change the file when it refuses. Random records are
 * checked against a model: refused exactly when they cannot be one well-formed line, and
 * read back exactly as written otherwise. Run with -Xcheck:jni (see jvm.sh).
 */
final class Hostile {
    static int failures = 0;
    static int calls = 0;
    static List<String> shown = new ArrayList<>();

    static void fail(String what) {
        if (failures++ < 30) {
            shown.add(what);
        }
    }

    @TempDir
    Path dir;

    @BeforeEach
    void reset() {
        failures = 0;
        calls = 0;
        shown.clear();
    }

    /** Every failure of the test so far, the first 30 spelled out. */
    @AfterEach
    void noFailures() {
        System.err.println(calls + " calls, " + failures + " failures; the JVM is alive");
        assertEquals(0, failures, String.join("\n", shown));
    }

    interface Call {
        Object run();
    }

    /** Runs a call; returns its result, or the refusal, failing on anything else. */
    static Object call(String label, Call c) {
        calls++;
        try {
            Object r = c.run();
            return r == null ? "(void)" : r;
        } catch (IllegalArgumentException | IndexOutOfBoundsException | UncheckedIOException e) {
            if (e.getMessage() == null || e.getMessage().isEmpty()) {
                fail(label + ": " + e.getClass().getName() + " without a message");
            }
            return e;
        } catch (RuntimeException | Error e) {
            fail(label + ": unexpected " + e);
            return e;
        }
    }

    static final int[] INTS = {Integer.MIN_VALUE, -1, 0, 1, 2, 3, 50, 99, 100, 1 << 20, Integer.MAX_VALUE};

    /** Every read and write entry point on a table of arbitrary bytes. */
    static void hostileTable(Path path, String name, byte[] bytes) throws Exception {
        Files.write(path, bytes);
        DBIface.init(path.toString());
        Object n = call(name + " getNumRows", DBIface::getNumRows);
        int rows = n instanceof Integer i ? i : 0;
        List<Integer> idx = new ArrayList<>();
        for (int i : INTS) {
            idx.add(i);
        }
        idx.addAll(Arrays.asList(rows / 2, rows, rows + 1));
        for (int i : idx) {
            Object row = call(name + " getRow(" + i + ")", () -> DBIface.getRow(i));
            if (row == "(void)") {
                fail(name + " getRow(" + i + ") returned null");
            }
        }
        idx.addAll(Arrays.asList(rows + 2, -rows));
        for (int line : idx) {
            byte[] before = Files.readAllBytes(path);
            Object r = call(name + " writeRowToLine(" + line + ")",
                    () -> { DBIface.writeRowToLine("NAME=h", line); return null; });
            if (r instanceof RuntimeException && !Arrays.equals(before, Files.readAllBytes(path))) {
                fail(name + " writeRowToLine(" + line + ") refused but changed the file");
            }
        }
        byte[] before = Files.readAllBytes(path);
        Object r = call(name + " writeRow", () -> { DBIface.writeRow("NAME=h"); return null; });
        if (r instanceof RuntimeException && !Arrays.equals(before, Files.readAllBytes(path))) {
            fail(name + " writeRow refused but changed the file");
        }
        call(name + " getNumRows after", DBIface::getNumRows);
    }

    static byte[] cat(Object... parts) {
        ByteArrayOutputStream out = new ByteArrayOutputStream();
        for (Object p : parts) {
            if (p instanceof byte[] b) {
                out.writeBytes(b);
            } else {
                out.writeBytes(((String) p).getBytes(StandardCharsets.ISO_8859_1));
            }
        }
        return out.toByteArray();
    }

    static byte[] fill(int n, char c) {
        byte[] b = new byte[n];
        Arrays.fill(b, (byte) c);
        return b;
    }

    static byte[] random(SplittableRandom rng, int n, String alphabet) {
        byte[] b = new byte[n];
        for (int i = 0; i < n; i++) {
            b[i] = alphabet == null ? (byte) rng.nextInt(256) : (byte) alphabet.charAt(rng.nextInt(alphabet.length()));
        }
        return b;
    }

    // ---- the record model -----------------------------------------------------------------------

    static int utf8Length(String s) {
        int n = 0;
        for (int i = 0; i < s.length(); i++) {
            char c = s.charAt(i);
            if (Character.isHighSurrogate(c) && i + 1 < s.length() && Character.isLowSurrogate(s.charAt(i + 1))) {
                n += 4;
                i++;
            } else {
                n += c < 0x80 ? 1 : c < 0x800 ? 2 : 3;
            }
        }
        return n;
    }

    static String trim(String s) {
        int b = 0;
        int e = s.length();
        while (b < e && " \t\n".indexOf(s.charAt(b)) >= 0) {
            b++;
        }
        while (e > b && " \t\n".indexOf(s.charAt(e - 1)) >= 0) {
            e--;
        }
        return s.substring(b, e);
    }

    static final String[] COLS = {"NAME", "SCORE", "DATE"};
    static final String POOL = "ab Z\t\n\r|=\u0000\u00e9\u20ac\uD800\uDC00\uDBFF\uDFFF\uD83D\uDE00";

    /** Random values for the first k columns, joined as record text. */
    static void randomRecords(Path path, SplittableRandom rng, int count) throws Exception {
        Files.writeString(path, "NAME|SCORE|DATE\na|1|x\nb|2|y\n");
        DBIface.init(path.toString());
        int accepted = 0;
        for (int t = 0; t < count; t++) {
            int k = 1 + rng.nextInt(3);
            String[] vals = new String[k];
            StringBuilder text = new StringBuilder();
            boolean valid = true;
            int line = k - 1;
            for (int j = 0; j < k; j++) {
                StringBuilder v = new StringBuilder();
                int len = rng.nextInt(10) == 0 ? 150 + rng.nextInt(100) : rng.nextInt(12);
                for (int c = 0; c < len; c++) {
                    v.append(POOL.charAt(rng.nextInt(POOL.length())));
                }
                vals[j] = v.toString();
                String tv = trim(vals[j]);
                int bytes = utf8Length(tv);
                line += bytes;
                valid &= bytes <= 199 && tv.indexOf('|') < 0 && tv.indexOf('\n') < 0 && tv.indexOf('\0') < 0;
                text.append(j > 0 ? " , " : "").append(COLS[j]).append(" = ").append(vals[j]);
            }
            // A CR that ended the line would read back as part of a CR LF line end.
            valid &= line <= 99 && !trim(vals[k - 1]).endsWith("\r");
            byte[] before = Files.readAllBytes(path);
            int rows = DBIface.getNumRows();
            boolean insert = rng.nextBoolean();
            int at = 1 + rng.nextInt(rows + 1);
            String label = (insert ? "writeRowToLine " : "writeRow ") + escape(text.toString());
            Object r = call(label, () -> {
                if (insert) {
                    DBIface.writeRowToLine(text.toString(), at);
                } else {
                    DBIface.writeRow(text.toString());
                }
                return null;
            });
            if (r instanceof RuntimeException) {
                if (!Arrays.equals(before, Files.readAllBytes(path))) {
                    fail(label + ": refused but changed the file");
                }
                if (valid) {
                    fail(label + ": refused a writable record: " + r);
                }
                continue;
            }
            if (!valid) {
                fail(label + ": accepted a record that cannot be one well-formed line");
                continue;
            }
            accepted++;
            // A separator at the end of a line adds no field: an empty last value is not read back.
            int shown = trim(vals[k - 1]).isEmpty() ? k - 1 : k;
            StringBuilder want = new StringBuilder();
            for (int j = 0; j < shown; j++) {
                want.append(j > 0 ? "," : "").append(COLS[j]).append('=').append(trim(vals[j]));
            }
            String got = DBIface.getRow(insert ? at : rows + 1);
            if (!got.equals(want.toString())) {
                fail(label + ": read back as " + escape(got));
            }
            if (DBIface.getNumRows() != rows + 1) {
                fail(label + ": the row count did not grow by one");
            }
        }
        System.err.println("random records: " + count + " tried, " + accepted + " accepted");
    }

    static String escape(String s) {
        StringBuilder b = new StringBuilder();
        for (char c : s.toCharArray()) {
            b.append(c >= 0x20 && c < 0x7f ? String.valueOf(c) : String.format("\\u%04x", (int) c));
        }
        return b.length() > 200 ? b.substring(0, 200) + "..." : b.toString();
    }

    static Stream<Arguments> tables() {
        SplittableRandom rng = new SplittableRandom(42);
        byte[] mb = fill(1 << 20, 'x');
        return Stream.of(
                Arguments.of("random bytes", random(rng, 1 << 16, null)),
                Arguments.of("random table bytes", random(rng, 1 << 16,
                        "NAME|=,\n\r\t \u0000\u00ff\u00c0\u0080\u00ed\u00a0")),
                Arguments.of("NUL bytes", fill(10000, '\0')),
                Arguments.of("NUL in header and rows", cat("NA\0ME|SCORE\n", "a\0b|1\n")),
                Arguments.of("invalid UTF-8", cat("NAME|SCORE\n", new byte[] {(byte) 0xff,
                        (byte) 0xc0, (byte) 0x80, (byte) 0xed, (byte) 0xa0, (byte) 0x80,
                        (byte) 0xf4, (byte) 0x90, '|', (byte) 0xe2, '\n'})),
                Arguments.of("1 MB line, no LF", mb),
                Arguments.of("1 MB line after the header", cat("NAME|SCORE\n", mb, "\nb|2\n")),
                Arguments.of("3 million separators", cat("NAME|SCORE\n", fill(3_000_000, '|'), "\n")),
                Arguments.of("3 million separator header", cat(fill(3_000_000, '|'), "\n")),
                Arguments.of("99 separators", cat("NAME|SCORE\n", fill(99, '|'), "\n")),
                Arguments.of("header without LF", cat("NAME|SCORE|DATE")),
                Arguments.of("rows without LF", cat("NAME\na\nb")),
                Arguments.of("2 million empty lines", cat("NAME\n", fill(2_000_000, '\n'))),
                Arguments.of("CR only", fill(1000, '\r')),
                Arguments.of("fake undo record", cat("NAME\nx\n", fill(54, 'y'), "\0DBIundo",
                        fill(52, '\0'), "\u00ffEND")),
                Arguments.of("empty file", new byte[0]));
    }

    @ParameterizedTest(name = "{0}")
    @MethodSource("tables")
    void table(String name, byte[] bytes) throws Exception {
        hostileTable(dir.resolve("t.txt"), name, bytes);
    }

    @Test
    void directoryAsTable() throws Exception {
        Path sub = Files.createDirectory(dir.resolve("sub"));
        DBIface.init(sub.toString());
        for (Call c : new Call[] {DBIface::getNumRows, () -> DBIface.getRow(1),
                () -> { DBIface.writeRow("NAME=x"); return null; }}) {
            if (!(call("directory as table", c) instanceof UncheckedIOException)) {
                fail("a directory as table did not raise UncheckedIOException");
            }
        }
    }

    @Test
    void anyJavaStringOrInt() throws Exception {
        Path path = dir.resolve("t.txt");
        Files.writeString(path, "NAME|SCORE|DATE\na|1|x\n");
        DBIface.init(path.toString());
        String big = "NAME=" + "v".repeat(1 << 20);
        for (String s : new String[] {"", "\0", "NAME=\0", "NAME\0=x", "\uD800", "NAME=\uDC00", big,
                ",".repeat(1 << 20), "=".repeat(1 << 20), "NAME=a|b", "NAME=a\nb", "NAME=x,NAME=y", "DATE=1",
                "nope=1", "NAME=1,SCORE=2,DATE=3,X=4", "\uFFFF\uFFFE"}) {
            for (int line : INTS) {
                byte[] before = Files.readAllBytes(path);
                Object r = call("writeRowToLine " + escape(s), () -> { DBIface.writeRowToLine(s, line); return null; });
                if (r instanceof RuntimeException && !Arrays.equals(before, Files.readAllBytes(path))) {
                    fail("writeRowToLine " + escape(s) + " refused but changed the file");
                }
            }
            call("writeRow " + escape(s), () -> { DBIface.writeRow(s); return null; });
        }
        for (String p : new String[] {"a\0b", "\uD800", "x".repeat(1 << 20), ""}) {
            call("init " + escape(p), () -> { DBIface.init(p); return null; });
            call("getNumRows on " + escape(p), DBIface::getNumRows);
            call("getRow on " + escape(p), () -> DBIface.getRow(1));
        }
    }

    @Test
    void randomRecordsAgainstTheModel() throws Exception {
        randomRecords(dir.resolve("t.txt"), new SplittableRandom(42), 3000);
    }
}
