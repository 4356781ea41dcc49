package gameserver.tests;

import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assertions.fail;

import java.io.ByteArrayOutputStream;
import java.io.File;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Map;
import java.util.stream.Collectors;
import java.util.stream.Stream;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Named;
import org.junit.jupiter.api.parallel.Execution;
import org.junit.jupiter.api.parallel.ExecutionMode;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.MethodSource;

/**
 * Runs every case of the table below in its own child JVM (see {@link Child}) against the real
 * library, and compares the child's complete standard output and the table file's final bytes.
 *
 * <p>System properties: {@code test.libdir} (directory of the library, required),
 * {@code test.java} (java executable for the children; default: this JVM's),
 * {@code test.classpath} (classpath for the children; default: this JVM's).
 */
@Execution(ExecutionMode.CONCURRENT)
final class CasesTest {
    // ---- expected output pieces -------------------------------------------------------------

    static final String C = "DBHelper constructor\n";
    static final String V = "=> (void)\n";
    static final String IAE = "java.lang.IllegalArgumentException";
    static final String ISE = "java.lang.IllegalStateException";
    static final String NPE = "java.lang.NullPointerException";
    static final String IOOBE = "java.lang.IndexOutOfBoundsException";
    static final String UIOE = "java.io.UncheckedIOException <- java.io.IOException";

    static String rows(int n) {
        return "calling getnumrows in dbiface\n" + C + "returning " + n
                + " from getnumrows in dbiface\n=> " + n + "\n";
    }

    static String row(String text) {
        return C + "=> \"" + Child.esc(text) + "\"\n";
    }

    static String ex(String cls) {
        return "!! " + cls + "\n";
    }

    /**
     * Trace of a successful insertion. {@code first}/{@code last} are the tail's first and last
     * characters (null: empty tail, no storerest lines); {@code shown} are the fields printed
     * as datarow lines (all but the last).
     */
    static String ins(int pos, String first, String last, int rest, String... shown) {
        StringBuilder b = new StringBuilder(C);
        b.append("returning pos ").append(pos).append('\n');
        b.append("before getsizeofremaining\nbefore malloc\nbefore storerest\n");
        if (first != null) {
            b.append("storerest:  first value of buffer is: ").append(first).append('\n');
            b.append("storerest:  last value of buffer is: ").append(last).append('\n');
        }
        b.append("seeking to position ").append(pos).append('\n');
        for (String f : shown) {
            b.append("datarow[i] is ").append(f).append('\n');
        }
        b.append("pos to write rest of file is ").append(rest).append('\n');
        return b.append(V).toString();
    }

    // ---- table -----------------------------------------------------------------------------

    /** One call and the output it may produce (more than one only where the contract allows). */
    record Step(String call, String... expected) {}

    /** As the table: a directory stands there instead of a file. */
    static final byte[] DIR = new byte[0];
    /** As the expected file: byte-identical to the table the case started with. */
    static final byte[] SAME = new byte[0];

    /**
     * {@code other}: a second file, named {@code otherName}, that is set up but not checked;
     * {@code stderr}: what standard error must hold (empty unless a case fills it).
     */
    record Case(String name, byte[] table, byte[] after, String otherName, byte[] other,
            List<Step> steps, List<String> jvmArgs, StringBuilder stderr) {}

    static final List<Case> CASES = new ArrayList<>();

    static Step s(String call, String... expected) {
        return new Step(call, expected);
    }

    /** A case that starts with init on the table file; {@code after} null: must not exist. */
    static void c(String name, Object table, Object after, Step... steps) {
        add(name, table, after, null, null, true, steps);
    }

    static void add(String name, Object table, Object after, String otherName, Object other,
            boolean init, Step... steps) {
        List<Step> all = new ArrayList<>();
        if (init) {
            all.add(s("init:%D/t.txt", V));
        }
        all.addAll(Arrays.asList(steps));
        byte[] t = bytes(table);
        byte[] a = after == SAME ? t : bytes(after);
        CASES.add(new Case(name, t, a, otherName, bytes(other), all, new ArrayList<>(), new StringBuilder()));
    }

    /** As {@link #c}, in a child JVM started with {@code -D<property>}. */
    static void cp(String property, String name, Object table, Object after, Step... steps) {
        c(name, table, after, steps);
        CASES.get(CASES.size() - 1).jvmArgs().add("-D" + property);
    }

    /** Strings become UTF-8; Integers become single raw bytes; byte[] passes through. */
    static byte[] bytes(Object... parts) {
        if (parts.length == 1 && (parts[0] == null || parts[0] instanceof byte[])) {
            return (byte[]) parts[0];
        }
        ByteArrayOutputStream out = new ByteArrayOutputStream();
        for (Object p : parts) {
            if (p instanceof Integer i) {
                out.write(i);
            } else {
                out.writeBytes(((String) p).getBytes(StandardCharsets.UTF_8));
            }
        }
        return out.toByteArray();
    }

    static String rep(char c, int n) {
        return String.valueOf(c).repeat(n);
    }

    static final String H3 = "NAME|SCORE|DATE\n";
    // Rows start at bytes 16, 32, 48; the file ends at 64.
    static final String T3 = H3 + "ann|10|1/1/2020\nbob|20|2/2/2020\ncid|30|3/3/2020\n";
    // Rows start at bytes 16, 23, 30, 37; the file ends at 44.
    static final String T4 = H3 + "a|1|d1\nb|2|d2\nc|3|d3\nd|4|d4\n";
    static final String ANN = "NAME=ann,SCORE=10,DATE=1/1/2020";
    static final String CID = "NAME=cid,SCORE=30,DATE=3/3/2020";
    static final String EMOJI = "\uD83D\uDE00"; // U+1F600

    static {
        // ---- reading ----
        c("read: header and three rows", T3, SAME,
                s("rows", rows(3)), s("get:1", row(ANN)), s("get:3", row(CID)),
                s("get:4", row("")), s("get:0", row("")));
        c("read: no LF after the last row", T3.substring(0, T3.length() - 1), SAME,
                s("rows", rows(3)), s("get:3", row(CID)), s("get:4", row("")));
        c("read: header only", H3, SAME, s("rows", rows(0)), s("get:1", row("")));
        c("read: empty file", "", SAME, s("rows", rows(0)), s("get:1", row("")));
        c("read: empty lines are 0-field rows, also the last", "NAME|SCORE\na|1\n\nb|2\n\n", SAME,
                s("rows", rows(4)), s("get:2", row("")), s("get:3", row("NAME=b,SCORE=2")),
                s("get:4", row("")));
        c("read: splitting and trimming",
                H3 + "  \t \n  a  |\tb b \t| c\na||b\na|b|\n|a\n|\na| \nx\n", SAME,
                s("rows", rows(8)), s("get:1", row("NAME=")),
                s("get:2", row("NAME=a,SCORE=b b,DATE=c")), s("get:3", row("NAME=a,SCORE=,DATE=b")),
                s("get:4", row("NAME=a,SCORE=b")), s("get:5", row("NAME=,SCORE=a")),
                s("get:6", row("NAME=")), s("get:7", row("NAME=a,SCORE=")),
                s("get:8", row("NAME=x")));
        c("read: 99-char line loads, 100-char line ends loading",
                "NAME\n" + rep('a', 99) + "\n" + rep('b', 100) + "\nc\n", SAME,
                s("rows", rows(1)), s("get:1", row("NAME=" + rep('a', 99))), s("get:2", row("")));
        c("read: 99-char last line without LF loads", "NAME\n" + rep('a', 99), SAME,
                s("rows", rows(1)), s("get:1", row("NAME=" + rep('a', 99))));
        c("read: 100-char last line without LF does not", "NAME\nx\n" + rep('a', 100), SAME,
                s("rows", rows(1)), s("get:2", row("")));
        c("read: header over 99 chars leaves no rows", rep('H', 100) + "\nx\n", SAME,
                s("rows", rows(0)), s("get:1", row("")));
        c("read: more than 10 fields",
                H3 + "1|2|3|4|5|6|7|8|9|10|11|12\n" + rep('|', 12) + "\n", SAME,
                s("rows", rows(2)), s("get:1", row("NAME=1,SCORE=2,DATE=3")),
                s("get:2", row("NAME=,SCORE=,DATE=")));
        c("read: 12-column header keeps 10 names",
                "A|B|C|D|E|F|G|H|I|J|K|L\n1|2|3|4|5|6|7|8|9|10|11|12\n",
                SAME, s("get:1", row("A=1,B=2,C=3,D=4,E=5,F=6,G=7,H=8,I=9,J=10")));
        c("read: indexes outside the table", T3, SAME,
                s("get:0", row("")), s("get:-1", row("")), s("get:4", row("")),
                s("get:-2147483648", row("")), s("get:2147483647", row("")));
        StringBuilder many = new StringBuilder("NAME|SCORE\n");
        for (int i = 1; i <= 120; i++) {
            many.append("r").append(i).append('|').append(i).append('\n');
        }
        c("read: more than 50 rows", many.toString(), SAME,
                s("rows", rows(120)), s("get:51", row("NAME=r51,SCORE=51")),
                s("get:120", row("NAME=r120,SCORE=120")), s("get:121", row("")));
        c("read: missing file is an empty table and stays missing", null, null,
                s("rows", rows(0)), s("get:1", row("")));
        c("read: directory as table", DIR, null,
                s("rows", "calling getnumrows in dbiface\n" + C + ex(UIOE)),
                s("get:1", C + ex(UIOE)));
        c("read: CR LF line ends",
                "NAME|SCORE\r\na|1\r\nb c|2\r\nx\r|3\r\n" + rep('a', 99) + "\r\n",
                SAME, s("rows", rows(4)), s("get:1", row("NAME=a,SCORE=1")),
                s("get:2", row("NAME=b c,SCORE=2")), s("get:3", row("NAME=x\r,SCORE=3")),
                s("get:4", row("NAME=" + rep('a', 99))));
        c("read: standard and modified UTF-8",
                bytes("N\u00c4ME|SCORE\n\u00e9\u20ac|" + EMOJI + " x\np",
                        0xED, 0xA0, 0xBD, 0xED, 0xB8, 0x80, "q|1\n"), SAME,
                s("rows", rows(2)), s("get:1", row("N\u00c4ME=\u00e9\u20ac,SCORE=" + EMOJI + " x")),
                s("get:2", row("N\u00c4ME=p" + EMOJI + "q,SCORE=1")));
        c("read: malformed UTF-8 neither crashes nor loses the rest of the row",
                bytes("NAME|SCORE\na", 0xFF, 0xFE, "b|1\nc", 0x80, "|2\nd", 0xE2, 0x82, "|3\ne",
                        0xC0, 0x80, "f|4\ng", 0xED, 0xA0, 0xBD, "h|5\ni", 0xF4, 0x90, 0x80, 0x80,
                        "j|6\nk", 0xF0, 0x9F, 0x98, "\nok|8\n"), SAME,
                s("rows", rows(8)), s("getascii:1", row("NAME=a?b,SCORE=1")),
                s("getascii:2", row("NAME=c?,SCORE=2")), s("getascii:3", row("NAME=d?,SCORE=3")),
                s("getascii:4", row("NAME=e?f,SCORE=4")), s("getascii:5", row("NAME=g?h,SCORE=5")),
                s("getascii:6", row("NAME=i?j,SCORE=6")), s("getascii:7", row("NAME=k?")),
                s("get:8", row("NAME=ok,SCORE=8")));

        // ---- calling contract ----
        add("calls before init", T3, SAME, null, null, false,
                s("rows", ex(ISE), "calling getnumrows in dbiface\n" + ex(ISE)),
                s("get:1", ex(ISE)), s("write:NAME=x", ex(ISE)), s("insert:1:NAME=x", ex(ISE)));
        add("init(null), then a good init", T3, SAME, null, null, false,
                s("initnull", ex(NPE)), s("init:%D/t.txt", V), s("rows", rows(3)));
        add("second init switches the file, relative path", T3, SAME, "u.txt", "X|Y\np|q\n",
                false,
                s("init:%D/t.txt", V), s("rows", rows(3)), s("init:u.txt", V),
                s("rows", rows(1)), s("get:1", row("X=p,Y=q")));
        add("path with an emoji names the file Java names", null, null, EMOJI + ".txt",
                "NAME|SCORE\na|1\nb|2\n", false,
                s("init:%D/" + EMOJI + ".txt", V), s("rows", rows(2)),
                s("write:NAME=b, SCORE=2", C + V), s("rows", rows(3)));
        c("null record text", T3, SAME,
                s("writenull", C + ex(NPE), ex(NPE)), s("insertnull:1", C + ex(NPE), ex(NPE)));

        // ---- appending ----
        c("append: record, then read back", T3, T3 + "player|120|9/13/2006\n",
                s("write:NAME=player, SCORE=120, DATE=9/13/2006", C + V), s("rows", rows(4)),
                s("get:4", row("NAME=player,SCORE=120,DATE=9/13/2006")));
        c("append: pairs in another order", T3, T3 + "zed|9|d9\n",
                s("write:DATE=d9, SCORE=9, NAME=zed", C + V));
        c("append: spaces and tabs trimmed", T3, T3 + "a b|7|x\n",
                s("write:  NAME = a b \t,\tSCORE=  7 ,DATE =x \n", C + V),
                s("get:4", row("NAME=a b,SCORE=7,DATE=x")));
        c("append: value containing =", T3, T3 + "a=b|=1\n",
                s("write:NAME=a=b, SCORE==1", C + V), s("get:4", row("NAME=a=b,SCORE==1")));
        c("append: first columns only, pair without =", T3, T3 + "solo\nx|1\nNAME\n",
                s("write:NAME=solo", C + V), s("write:NAME=x, SCORE=1", C + V),
                s("write:NAME", C + V), s("rows", rows(6)), s("get:4", row("NAME=solo")),
                s("get:6", row("NAME=NAME")));
        c("append: 10 pairs, 99-char line, rows after it still load",
                "A|B|C|D|E|F|G|H|I|J\n",
                "A|B|C|D|E|F|G|H|I|J\n1|2|3|4|5|6|7|8|9|10\n" + rep('x', 97) + "|1\nz\n",
                s("write:J=10,I=9,H=8,G=7,F=6,E=5,D=4,C=3,B=2,A=1", C + V),
                s("write:A=" + rep('x', 97) + ", B=1", C + V), s("write:A=z", C + V),
                s("rows", rows(3)), s("get:2", row("A=" + rep('x', 97) + ",B=1")));
        c("append: after a last line without LF", "NAME|SCORE\na|1", "NAME|SCORE\na|1\nb|2\n",
                s("write:NAME=b, SCORE=2", C + V), s("rows", rows(2)),
                s("get:2", row("NAME=b,SCORE=2")));
        c("append: after an empty last line", "NAME|SCORE\na|1\n\n", "NAME|SCORE\na|1\n\nb|2\n",
                s("write:NAME=b, SCORE=2", C + V), s("rows", rows(3)), s("get:2", row("")),
                s("get:3", row("NAME=b,SCORE=2")));
        c("append: empty text leaves the file alone", T3, SAME, s("write:", C + V));
        c("append: empty text creates a missing file empty", null, "", s("write:", C + V));
        c("append: emoji stored as standard UTF-8", T3,
                bytes(T3, 0xF0, 0x9F, 0x98, 0x80, "|1\n"),
                s("write:NAME=" + EMOJI + ", SCORE=1", C + V),
                s("get:4", row("NAME=" + EMOJI + ",SCORE=1")));
        c("append: non-ASCII column name matches", "N\u00c4ME|SCORE\n",
                "N\u00c4ME|SCORE\n\u00fc|1\n",
                s("write:SCORE=1, N\u00c4ME=\u00fc", C + V),
                s("get:1", row("N\u00c4ME=\u00fc,SCORE=1")));
        c("append: 99-byte line of 2-byte chars", T3, T3 + rep('\u00e9', 49) + "x\n",
                s("write:NAME=" + rep('\u00e9', 49) + "x", C + V),
                s("get:4", row("NAME=" + rep('\u00e9', 49) + "x")));
        c("append: directory as table", DIR, null, s("write:NAME=a", C + ex(UIOE)));

        // ---- inserting ----
        c("insert: line 3 of four rows", T4,
                H3 + "a|1|d1\nb|2|d2\nx|9|z\nc|3|d3\nd|4|d4\n",
                s("insert:3:NAME=x, SCORE=9, DATE=z", ins(30, "c", "\n", 36, "x", "9")),
                s("rows", rows(5)), s("get:3", row("NAME=x,SCORE=9,DATE=z")),
                s("get:4", row("NAME=c,SCORE=3,DATE=d3")),
                s("get:5", row("NAME=d,SCORE=4,DATE=d4")));
        c("insert: line 1, trimmed pairs", T4,
                H3 + "p q|5|z\na|1|d1\nb|2|d2\nc|3|d3\nd|4|d4\n",
                s("insert:1: NAME =\tp q , SCORE= 5 ,DATE=z ", ins(16, "a", "\n", 24, "p q", "5")),
                s("get:1", row("NAME=p q,SCORE=5,DATE=z")),
                s("get:2", row("NAME=a,SCORE=1,DATE=d1")));
        c("insert: line after the last appends", T4, T4 + "e|5|d5\n",
                s("insert:5:NAME=e, SCORE=5, DATE=d5", ins(44, null, null, 51, "e", "5")),
                s("rows", rows(5)));
        c("insert: at the end of a file without final LF", "NAME|SCORE\na|1",
                "NAME|SCORE\na|1\nb|2\n",
                s("insert:2:NAME=b, SCORE=2", ins(14, null, null, 19, "b")), s("rows", rows(2)));
        c("insert: pairs in another order, traced in column order", T4,
                H3 + "x|9|z\na|1|d1\nb|2|d2\nc|3|d3\nd|4|d4\n",
                s("insert:1:DATE=z, SCORE=9, NAME=x", ins(16, "a", "\n", 22, "x", "9")));
        c("insert: after a header-only file", "NAME|SCORE\n", "NAME|SCORE\nx|9\n",
                s("insert:1:NAME=x, SCORE=9", ins(11, null, null, 15, "x")));
        c("insert: after a header without LF", "NAME|SCORE", "NAME|SCORE\nx|9\n",
                s("insert:1:NAME=x, SCORE=9", ins(10, null, null, 15, "x")));
        c("insert: after a blank line", "NAME|SCORE\na|1\n\nb|2\n",
                "NAME|SCORE\na|1\n\nx|9\nb|2\n",
                s("insert:3:NAME=x, SCORE=9", ins(16, "b", "\n", 20, "x")),
                s("rows", rows(4)), s("get:2", row("")), s("get:3", row("NAME=x,SCORE=9")));
        c("insert: after 99-char lines, CR LF one too", "NAME\n" + rep('a', 99) + "\r\n"
                        + rep('b', 99) + "\nc\n",
                "NAME\n" + rep('a', 99) + "\r\n" + rep('b', 99) + "\nx\nc\n",
                s("insert:3:NAME=x", ins(206, "c", "\n", 208)));
        c("insert: tail of 200 KB kept", bigTable(), bigTable().replace("r1|1\n", "r1|1\nx|9\n"),
                s("insert:2:NAME=x, SCORE=9", ins(16, "r", "\n", 20, "x")),
                s("get:3", row("NAME=r2,SCORE=2")));
        c("insert: tail without final LF kept as is", "NAME|SCORE\na|1\nb|2",
                "NAME|SCORE\nx|9\na|1\nb|2",
                s("insert:1:NAME=x, SCORE=9", ins(11, "a", "2", 15, "x")));
        c("insert: CR LF tail bytes kept", "NAME|SCORE\r\na|1\r\nb|2\r\n",
                "NAME|SCORE\r\nx|9\na|1\r\nb|2\r\n",
                s("insert:1:NAME=x, SCORE=9", ins(12, "a", "\n", 16, "x")));
        c("insert: before a line too long to load, not after it", "NAME\n" + rep('a', 100) + "\nc\n",
                "NAME\nx\n" + rep('a', 100) + "\nc\n",
                s("insert:2:NAME=y", C + "returning pos -1\n" + ex(UIOE)),
                s("insert:1:NAME=x", ins(5, "a", "\n", 7)));
        c("insert: emoji stored as standard UTF-8 and traced", T4,
                bytes(H3, 0xC3, 0xA9, 0xF0, 0x9F, 0x98, 0x80, "|2\n", T4.substring(16)),
                s("insert:1:NAME=\u00e9" + EMOJI + ", SCORE=2",
                        ins(16, "a", "\n", 25, "\u00e9" + EMOJI)),
                s("get:1", row("NAME=\u00e9" + EMOJI + ",SCORE=2")));
        c("insert: line below 1 refused", T4, SAME,
                s("insert:0:NAME=x", C + ex(IOOBE)), s("insert:-1:NAME=x", C + ex(IOOBE)),
                s("insert:-2147483648:NAME=x", C + ex(IOOBE)));
        c("insert: beyond the end refused", T4, SAME,
                s("insert:6:NAME=x", C + "returning pos -1\n" + ex(IOOBE)),
                s("insert:2147483647:NAME=x", C + "returning pos -1\n" + ex(IOOBE)));
        c("insert: beyond the end of a file without final LF refused", "NAME|SCORE\na|1", SAME,
                s("insert:3:NAME=x", C + "returning pos -1\n" + ex(IOOBE)));

        // ---- durability: the property is read when the class loads ----
        String eiie = "java.lang.ExceptionInInitializerError (no message) <- " + IAE;
        cp("gameserver.dbiface.sync=full", "sync=full: writes and reads as without it", T4,
                H3 + "x|9|z\na|1|d1\nb|2|d2\nc|3|d3\nd|4|d4\ne|5|d5\n",
                s("insert:1:DATE=z, SCORE=9, NAME=x", ins(16, "a", "\n", 22, "x", "9")),
                s("write:NAME=e, SCORE=5, DATE=d5", C + V), s("rows", rows(6)));
        cp("gameserver.dbiface.sync=off", "sync=off: the default, spelt out", T4, T4 + "e|5|d5\n",
                s("write:NAME=e, SCORE=5, DATE=d5", C + V));
        for (String bad : new String[] {"FULL", "on", "", "full "}) {
            add("sync=\"" + bad + "\": class fails to load, nothing written", T3, SAME, null, null,
                    false, s("write:NAME=x", ex(eiie)), s("rows", ex("java.lang.NoClassDefFoundError <- java.lang.ExceptionInInitializerError"),
                            ex("java.lang.NoClassDefFoundError")));
            CASES.get(CASES.size() - 1).jvmArgs().add("-Dgameserver.dbiface.sync=" + bad);
        }

        // ---- a line over the limit hides itself and what follows: no write lands there ----
        String hid = H3 + "ann|10|1/1/2020\n" + rep('x', 113) + "\ncid|30|3/3/2020\n";
        c("hidden rows: writes at or after a long line refused, before it allowed", hid,
                H3 + "ann|10|1/1/2020\ndan\n" + rep('x', 113) + "\ncid|30|3/3/2020\n",
                s("rows", rows(1)), s("write:NAME=eve", C + ex(UIOE)),
                s("insert:3:NAME=eve", C + "returning pos -1\n" + ex(UIOE)),
                s("insert:2:NAME=dan", ins(32, "x", "\n", 36)), s("rows", rows(2)),
                s("t.open:%D/t.txt", V), s("t.append:NAME=eve", ex(UIOE)), s("t.all:NAME=eve", ex(UIOE)));

        // ---- where trace lines go, and the cache switch: read when the class loads ----
        cp("gameserver.dbiface.trace=off", "trace=off: no trace lines on either stream", T3, T3 + "dan\n",
                s("rows", "=> 3\n"), s("get:1", "=> \"" + ANN + "\"\n"), s("write:NAME=dan", V),
                s("insert:9:NAME=x", ex(IOOBE)));
        cp("gameserver.dbiface.trace=stderr", "trace=stderr: the same lines on standard error", T3,
                H3 + "dan\n" + T3.substring(H3.length()), s("rows", "=> 3\n"), s("insert:1:NAME=dan", V));
        CASES.get(CASES.size() - 1).stderr().append(rows(3).replace("=> 3\n", "")).append(ins(16, "a", "\n", 20)
                .replace(V, ""));
        cp("gameserver.dbiface.trace=stdout", "trace=stdout: the default, spelt out", T3, SAME,
                s("rows", rows(3)));
        for (String bad : new String[] {"STDOUT", "none", "", "stderr "}) {
            add("trace=\"" + bad + "\": class fails to load", T3, SAME, null, null, false,
                    s("rows", ex(eiie)));
            CASES.get(CASES.size() - 1).jvmArgs().add("-Dgameserver.dbiface.trace=" + bad);
        }
        add("cache=ON: class fails to load", T3, SAME, null, null, false, s("rows", ex(eiie)));
        CASES.get(CASES.size() - 1).jvmArgs().add("-Dgameserver.dbiface.cache=ON");
        // On a local file system the lock is never refused: the same as without it.
        cp("gameserver.dbiface.singleProcess=true", "singleProcess=true: writes and reads as without it", T3,
                H3 + "dan\n" + T3.substring(H3.length()) + "eve\n", s("insert:1:NAME=dan", ins(16, "a", "\n", 20)),
                s("write:NAME=eve", C + V), s("rows", rows(5)));
        for (String bad : new String[] {"TRUE", "yes", "", "true "}) {
            add("singleProcess=\"" + bad + "\": class fails to load", T3, SAME, null, null, false,
                    s("rows", ex(eiie)));
            CASES.get(CASES.size() - 1).jvmArgs().add("-Dgameserver.dbiface.singleProcess=" + bad);
        }
        // A later store through a shared mapping faults no more: it raises no event and
        // moves no time stamp, so only a read of the file sees it; with the cache off every
        // call does (with it on, the second get below misses ZZZ here).
        String bob = "NAME=bob,SCORE=20,DATE=2/2/2020";
        String[] seen = {row(bob.replace("bob", "ZZZ")), row(bob.replace("bob", "BOB")), row(bob)};
        for (String cache : new String[] {"off", "on"}) {
            boolean off = cache.equals("off");
            cp("gameserver.dbiface.cache=" + cache, "cache=" + cache + ": stores through a shared mapping"
                    + (off ? " are seen at once" : ", seen or not, leave reads whole"),
                    T3, H3 + "ann|10|1/1/2020\nZZZ|20|2/2/2020\ncid|30|3/3/2020\n",
                    s("get:2", row(bob)), s("poke:%D/t.txt:32:BOB", V),
                    s("get:2", off ? new String[] {seen[1]} : new String[] {seen[1], seen[2]}),
                    s("poke:%D/t.txt:32:ZZZ", V), s("get:2", off ? new String[] {seen[0]} : seen));
        }

        // ---- refused records: both write calls, nothing written ----
        String[][] refused = {
            {"unknown key", "NAME=a, RANK=1"},
            {"key in other case", "name=a"},
            {"empty pair", "NAME=a,,SCORE=1"},
            {"trailing comma", "NAME=a, SCORE=1,"},
            {"leading comma", ",NAME=a"},
            {"same column twice", "NAME=a, NAME=b"},
            {"gap before a named column", "NAME=a, DATE=d"},
            {"value of 200 chars", "NAME=" + rep('v', 200)},
            {"value with |", "NAME=a|b"},
            {"value with LF", "NAME=a\nb, SCORE=1"},
            {"value with NUL", "NAME=a\0b"},
            {"row line of 100 chars", "NAME=" + rep('v', 98) + ", SCORE=1"},
            {"row line of 100 bytes in 50 chars", "NAME=" + rep('\u00e9', 50)},
            {"row line of 100 bytes in 25 emoji", "NAME=" + EMOJI.repeat(25)},
        };
        for (String[] r : refused) {
            c("refused: " + r[0], T3, SAME,
                    s("write:" + r[1], C + ex(IAE)), s("insert:2:" + r[1], C + ex(IAE)));
        }
        c("refused: 11 pairs", "A|B|C|D|E|F|G|H|I|J\n", SAME,
                s("write:A=1,B=2,C=3,D=4,E=5,F=6,G=7,H=8,I=9,J=10,A=11", C + ex(IAE)));
        c("refused: any key when the file is empty", "", SAME,
                s("write:NAME=a", C + ex(IAE)), s("insert:1:NAME=a", C + ex(IAE)));
        c("refused: any key when the file is missing, not created", null, null,
                s("write:NAME=a", C + ex(IAE)), s("insert:1:NAME=a", C + ex(IAE)));
    }

    /** Header and 20000 rows: r1|1 starts at byte 11, r2|2 at 16. */
    static String bigTable() {
        StringBuilder b = new StringBuilder("NAME|SCORE\n");
        for (int i = 1; i <= 20000; i++) {
            b.append('r').append(i).append('|').append(i).append('\n');
        }
        return b.toString();
    }

    // ---- running ---------------------------------------------------------------------------

    static List<String> jvm;

    @BeforeAll
    static void childCommand() {
        // Children run in their own temp dirs, so relative entries would not resolve there.
        TableCases.register();
        String cp = Arrays.stream(System.getProperty("test.classpath",
                        System.getProperty("java.class.path")).split(File.pathSeparator))
                .map(e -> Path.of(e).toAbsolutePath().toString())
                .collect(Collectors.joining(File.pathSeparator));
        String libDir = Path.of(ChildJvm.require("test.libdir")).toAbsolutePath().toString();
        jvm = ChildJvm.java(ChildJvm.javaExe(), "--enable-native-access=ALL-UNNAMED",
                "-Djava.library.path=" + libDir, "-cp", cp, Child.class.getName());
    }

    static Stream<Named<Case>> cases() {
        assertTrue(CASES.size() > 0);
        return CASES.stream().map(k -> Named.of(k.name(), k));
    }

    /** One case: child exit 0, no warning, empty stderr, stdout step by step, file bytes. */
    @ParameterizedTest(name = "{0}")
    @MethodSource("cases")
    void runs(Case k) throws IOException, InterruptedException {
        Path dir = Files.createTempDirectory("dbiface-case");
        Path table = dir.resolve("t.txt");
        try {
            if (k.table() == DIR) {
                Files.createDirectory(table);
            } else if (k.table() != null) {
                Files.write(table, k.table());
            }
            if (k.other() != null) {
                Files.write(dir.resolve(k.otherName()), k.other());
            }
            List<String> cmd = new ArrayList<>(jvm);
            cmd.addAll(cmd.size() - 1, k.jvmArgs());
            for (Step st : k.steps()) {
                cmd.add(Child.esc(st.call().replace("%D", dir.toString())));
            }
            ChildJvm.Result r = ChildJvm.run(cmd, dir, Map.of());
            String stdout = latin1(r.outBytes());
            String stderr = latin1(r.errBytes()).replaceAll("(?m)^Picked up .*\n", "");
            List<String> problems = new ArrayList<>();
            if (r.exit() != 0) {
                problems.add("child exit status " + r.exit());
            }
            if (stdout.contains("WARNING") || stderr.contains("WARNING")) {
                problems.add("WARNING printed");
            }
            if (!stderr.equals(latin1(k.stderr().toString().getBytes(StandardCharsets.UTF_8)))) {
                problems.add("stderr " + show(stderr));
            }
            String mismatch = matchSteps(k.steps(), stdout);
            if (mismatch != null) {
                problems.add("stdout " + mismatch);
            }
            if (k.table() != DIR) {
                byte[] now = Files.exists(table) ? Files.readAllBytes(table) : null;
                if (!Arrays.equals(now, k.after())) {
                    problems.add("file " + diff(k.after() == null ? null : latin1(k.after()),
                            now == null ? null : latin1(now)));
                }
            }
            if (!problems.isEmpty()) {
                fail(String.join("; ", problems));
            }
        } finally {
            ChildJvm.deleteTree(dir);
        }
    }

    /** Matches the output step by step, each step against its allowed alternatives. */
    static String matchSteps(List<Step> steps, String actual) {
        int at = 0;
        StringBuilder want = new StringBuilder();
        for (Step st : steps) {
            String hit = null;
            for (String alt : st.expected()) {
                String a = latin1(alt.getBytes(StandardCharsets.UTF_8));
                if (actual.startsWith(a, at)) {
                    hit = a;
                    break;
                }
            }
            if (hit == null) {
                want.append(latin1(st.expected()[0].getBytes(StandardCharsets.UTF_8)));
                return "at call " + show(st.call()) + ": " + diff(want.toString(), actual);
            }
            want.append(hit);
            at += hit.length();
        }
        return at == actual.length() ? null : diff(want.toString(), actual);
    }

    static String diff(String expected, String actual) {
        if (expected == null || actual == null) {
            return "expected " + (expected == null ? "no file" : show(expected)) + " got "
                    + (actual == null ? "no file" : show(actual));
        }
        int i = 0;
        while (i < expected.length() && i < actual.length()
                && expected.charAt(i) == actual.charAt(i)) {
            i++;
        }
        int from = Math.max(0, expected.lastIndexOf('\n', Math.max(0, i - 1)) + 1);
        from = Math.max(from, i - 200);
        return "differs at byte " + i + ": expected ..." + show(tail(expected, from))
                + " got ..." + show(tail(actual, from));
    }

    static String tail(String s, int from) {
        String t = from < s.length() ? s.substring(from) : "";
        return t.length() > 400 ? t.substring(0, 400) + "[...]" : t;
    }

    static String latin1(byte[] b) {
        return new String(b, StandardCharsets.ISO_8859_1);
    }

    /** Bytes (as latin-1 chars) quoted, with every non-printable byte escaped. */
    static String show(String s) {
        return ChildJvm.showBytes(s.getBytes(StandardCharsets.ISO_8859_1));
    }
}
