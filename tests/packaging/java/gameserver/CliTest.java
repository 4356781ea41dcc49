package gameserver;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assertions.fail;

import gameserver.tests.ChildJvm;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.HashMap;
import java.util.List;
import java.util.Map;
import java.util.regex.Pattern;
import java.util.stream.Stream;
import org.junit.jupiter.api.Named;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;
import org.junit.jupiter.api.parallel.Execution;
import org.junit.jupiter.api.parallel.ExecutionMode;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.MethodSource;

/**
 * Runs the command-line tool as operators do, {@code java -jar JAR TABLE COMMAND ...} from the
 * table's directory, and checks exit status, standard output (trace lines and results),
 * standard error and the table file's bytes afterwards.
 *
 * <p>System properties: {@code test.java} (the JVM under test), {@code test.jar}.
 */
@Execution(ExecutionMode.CONCURRENT)
final class CliTest {
    static final String C = "DBHelper constructor\n";
    static final String H3 = "NAME|SCORE|DATE\n";
    static final String T3 = H3 + "ann|10|1/1/2020\nbob|20|2/2/2020\ncid|30|3/3/2020\n";
    static final String[] ROWS = {"NAME=ann,SCORE=10,DATE=1/1/2020",
        "NAME=bob,SCORE=20,DATE=2/2/2020", "NAME=cid,SCORE=30,DATE=3/3/2020"};

    /** Each @Test's own directory, for its table and the tool's files; removed afterwards. */
    @TempDir
    Path dir;

    /** The filter docs/cli.md gives for separating results from trace lines of read commands. */
    static final Pattern TRACE = Pattern.compile("DBHelper constructor|calling getnumrows in "
            + "dbiface|returning -?[0-9]+ from getnumrows in dbiface");

    static final String SAME = new String("same");
    static final String DIR = new String("dir");

    /**
     * One invocation. {@code table}: initial content (null: no file; DIR: a directory);
     * {@code after}: expected content (SAME: unchanged; null: no file); {@code trace} and
     * {@code results}: expected standard output, in that order; {@code err}: a piece standard
     * error must hold (null: must be empty).
     */
    record Case(String name, String table, String[] args, int exit, String trace,
            String results, String err, String after, Map<String, String> env,
            String outFile, String outWant) {}

    static final List<Case> CASES = new ArrayList<>();

    static void c(String name, String table, String[] args, int exit, String trace,
            String results, String err, String after) {
        CASES.add(new Case(name, table, args, exit, trace, results, err, after, Map.of(), null,
                null));
    }

    /** As c, the tool run without any locale variable: the JVM's encoding is then ASCII. */
    static void noLocale(String name, String table, String[] args, int exit, String trace,
            String err, String after) {
        Map<String, String> env = new HashMap<>();
        for (String v : new String[] {"LC_ALL", "LC_CTYPE", "LANG"}) {
            env.put(v, null);
        }
        CASES.add(new Case(name, table, args, exit, trace, "", err, after, env, null, null));
    }

    /** As c, with results expected in the file {@code outFile} instead of standard output. */
    static void toFile(String name, String table, String[] args, String trace, String outFile,
            String outWant) {
        CASES.add(new Case(name, table, args, 0, trace, "", null, table, Map.of(), outFile,
                outWant));
    }

    static String[] a(String... args) {
        return args;
    }

    static String count(int n) {
        return "calling getnumrows in dbiface\n" + C + "returning " + n
                + " from getnumrows in dbiface\n";
    }

    static String lines(String... ls) {
        StringBuilder b = new StringBuilder();
        for (String l : ls) {
            b.append(l).append('\n');
        }
        return b.toString();
    }

    static {
        // ---- usage: status 2, the library is not even loaded ----
        c("help", T3, a("--help"), 0, "", null, null, SAME);
        c("no arguments", null, a(), 2, "", "", "missing TABLE and COMMAND", null);
        c("no command", T3, a("t.txt"), 2, "", "", "missing COMMAND", SAME);
        c("unknown command", null, a("t.txt", "drop"), 2, "", "", "unknown command 'drop'", null);
        c("count with an argument", T3, a("t.txt", "count", "1"), 2, "", "", "count takes 0", SAME);
        c("get without N", T3, a("t.txt", "get"), 2, "", "", "get takes 1", SAME);
        c("get N not a number", T3, a("t.txt", "get", "two"), 2, "", "", "N must be a whole", SAME);
        c("get N too large for int", T3, a("t.txt", "get", "4294967296"), 2, "", "",
                "N must be a whole", SAME);
        c("list with an unknown option", T3, a("t.txt", "list", "--wide"), 2, "", "",
                "list takes only --table", SAME);
        c("add without a record", T3, a("t.txt", "add"), 2, "", "", "add takes 1", SAME);
        c("add with two records", T3, a("t.txt", "add", "NAME=a", "NAME=b"), 2, "", "",
                "add takes 1", SAME);
        c("insert LINE not a number", T3, a("t.txt", "insert", "x", "NAME=a"), 2, "", "",
                "LINE must be a whole", SAME);

        // ---- reading ----
        c("count", T3, a("t.txt", "count"), 0, count(3), "3\n", null, SAME);
        // Without --trace the library's trace lines go nowhere: results only.
        c("quiet: count prints the count only", T3, a("t.txt", "count"), 0, "", "3\n", null, SAME);
        c("quiet: list", T3, a("t.txt", "list"), 0, "", lines(ROWS), null, SAME);
        String hid = H3 + "ann|10|1/1/2020\n" + "x".repeat(113) + "\ncid|30|3/3/2020\n";
        String hides = "warning: line 3 of t.txt is longer than 99 bytes; it and the 1 lines after it are hidden";
        c("hidden rows: count warns", hid, a("t.txt", "count"), 0, "", "1\n", hides, SAME);
        c("hidden rows: list warns", hid, a("t.txt", "list"), 0, "", ROWS[0] + "\n", hides, SAME);
        c("hidden rows: add refused", hid, a("t.txt", "add", "NAME=dan"), 1, "", "",
                "line 3 of table t.txt is longer than 99 bytes", SAME);
        c("hidden rows: insert after the line refused", hid, a("t.txt", "insert", "3", "NAME=dan"), 1, "", "",
                "line 3 of table t.txt is longer than 99 bytes", SAME);
        c("hidden rows: insert before the line allowed", hid, a("t.txt", "insert", "2", "NAME=dan"), 0, "", "", null,
                H3 + "ann|10|1/1/2020\ndan\n" + "x".repeat(113) + "\ncid|30|3/3/2020\n");
        c("quiet: insert prints nothing", T3, a("t.txt", "insert", "1", "NAME=dan"), 0, "", "", null,
                H3 + "dan\n" + T3.substring(H3.length()));
        c("get", T3, a("t.txt", "get", "2"), 0, count(3) + C, ROWS[1] + "\n", null, SAME);
        c("get of an empty data row prints an empty line", H3 + "\nann|1|d\n",
                a("t.txt", "get", "1"), 0, count(2) + C, "\n", null, SAME);
        c("get 0 is refused", T3, a("t.txt", "get", "0"), 1, count(3), "",
                "no data row 0; the table has 3 rows", SAME);
        c("get past the end is refused", T3, a("t.txt", "get", "4"), 1, count(3), "",
                "no data row 4; the table has 3 rows", SAME);
        // A listing reads one image of the table through the operator's calls: no trace lines.
        c("list of a header-only table prints no rows", H3, a("t.txt", "list"), 0, "", "", null, SAME);
        c("list of a CRLF table", T3.replace("\n", "\r\n"), a("t.txt", "list"), 0, "", lines(ROWS), null, SAME);
        c("list --table aligns columns by display width: an emoji takes two",
                H3 + "zo\u00eb|7|1/1/2020\nb\uD83D\uDE00b|1200|2/2/2020\nc|3|\n",
                a("t.txt", "list", "--table"), 0, "",
                lines("#  NAME  SCORE  DATE",
                        "1  zo\u00eb   7      1/1/2020",
                        "2  b\uD83D\uDE00b  1200   2/2/2020",
                        "3  c     3"), null, SAME);
        c("list --table: East Asian wide characters take two columns, combining marks none",
                "NAME|SCORE\n\u5c71\u7530\u592a\u90ce|1\nbob|22\ne\u0301x|3\n",
                a("t.txt", "list", "--table"), 0, "",
                lines("#  NAME      SCORE",
                        "1  \u5c71\u7530\u592a\u90ce  1",
                        "2  bob       22",
                        "3  e\u0301x        3"), null, SAME);
        c("list --table keeps a value holding a comma whole, fills short rows",
                "NAME|NOTE|X\nann|a,b|1\nbob\n", a("t.txt", "list", "--table"), 0, "",
                lines("#  NAME  NOTE  X", "1  ann   a,b   1", "2  bob"), null, SAME);
        c("list --table of a header-only table prints the # column only", H3,
                a("t.txt", "list", "--table"), 0, "", "#\n", null, SAME);

        // ---- a table file that does not exist: refused before the library is asked ----
        for (String[] cmd : new String[][] {{"count"}, {"get", "1"}, {"list"}, {"list", "--table"}}) {
            String[] args = new String[cmd.length + 1];
            args[0] = "t.txt";
            System.arraycopy(cmd, 0, args, 1, cmd.length);
            c(String.join(" ", cmd) + " of a missing table is refused, nothing created", null,
                    args, 1, "", "", "no such table file: t.txt", null);
        }
        c("add to a missing table says the file does not exist", null, a("t.txt", "add", "NAME=a"),
                1, "", "", "no such table file: t.txt; create it with its header line first", null);
        c("insert into a missing table says the file does not exist", null,
                a("t.txt", "insert", "1", "NAME=a"), 1, "", "", "no such table file: t.txt", null);

        // ---- arguments the JVM cannot decode: refused, nothing written ----
        noLocale("add of non-ASCII text without a UTF-8 locale is refused", T3,
                a("t.txt", "add", "NAME=Zo\u00eb"), 2, "", "LANG=C.UTF-8", SAME);
        noLocale("insert of an emoji without a UTF-8 locale is refused", T3,
                a("t.txt", "insert", "1", "NAME=\uD83D\uDE00"), 2, "", "LANG=C.UTF-8", SAME);
        noLocale("ASCII text without a UTF-8 locale is written", T3, a("t.txt", "add", "NAME=dan"),
                0, C, null, T3 + "dan\n");

        // ---- --output: results to a file, trace lines stay on standard output ----
        toFile("count -o FILE", T3, a("t.txt", "count", "-o", "n.txt"), count(3), "n.txt", "3\n");
        toFile("get N --output FILE", T3, a("t.txt", "get", "--output", "r.txt", "2"),
                count(3) + C, "r.txt", ROWS[1] + "\n");
        toFile("list --table --output=FILE", T3 + "zo\u00eb|5|x\n",
                a("t.txt", "list", "--table", "--output=l.txt"), "",
                "l.txt", lines("#  NAME  SCORE  DATE", "1  ann   10     1/1/2020",
                        "2  bob   20     2/2/2020", "3  cid   30     3/3/2020",
                        "4  zo\u00eb   5      x"));
        c("--output of a write command is a usage error", T3,
                a("t.txt", "add", "NAME=a", "-o", "x.txt"), 2, "", "", "--output is for count, get and list only", SAME);
        c("-o without a FILE is a usage error", T3, a("t.txt", "list", "-o"), 2, "", "",
                "-o needs a FILE", SAME);

        // ---- writing ----
        c("add appends in header order", T3, a("t.txt", "add", "DATE=4/4/2020, NAME=dan, SCORE=40"),
                0, C, "", null, T3 + "dan|40|4/4/2020\n");
        c("add non-ASCII text is stored as UTF-8", T3, a("t.txt", "add", "NAME=zo\u00eb, SCORE=5"),
                0, C, "", null, T3 + "zo\u00eb|5\n");
        c("add an unknown column is refused, nothing written", T3, a("t.txt", "add", "FOO=1"), 1,
                C, "", "'FOO' names no column of the table", SAME);
        c("add a value with | is refused", T3, a("t.txt", "add", "NAME=a|b"), 1, C, "",
                "contains '|'", SAME);
        c("add to a header-less table is refused: no header", "", a("t.txt", "add", "NAME=a"), 1,
                C, "", "no header line", SAME);
        c("add to a directory is an I/O error", DIR, a("t.txt", "add", "NAME=a"), 1, C, "",
                "t.txt", DIR);
        c("insert at line 2 moves later rows down", T3, a("t.txt", "insert", "2", "NAME=dan, SCORE=5, DATE=d"),
                0, C + "returning pos 32\nbefore getsizeofremaining\nbefore malloc\n"
                        + "before storerest\nstorerest:  first value of buffer is: b\n"
                        + "storerest:  last value of buffer is: \n\nseeking to position 32\n"
                        + "datarow[i] is dan\ndatarow[i] is 5\npos to write rest of file is 40\n",
                "", null, H3 + "ann|10|1/1/2020\ndan|5|d\nbob|20|2/2/2020\ncid|30|3/3/2020\n");
        c("insert after the last row appends", T3, a("t.txt", "insert", "4", "NAME=dan"),
                0, C + "returning pos 64\nbefore getsizeofremaining\nbefore malloc\n"
                        + "before storerest\nseeking to position 64\n"
                        + "pos to write rest of file is 68\n",
                "", null, T3 + "dan\n");
        c("insert at line 0 is refused", T3, a("t.txt", "insert", "0", "NAME=dan"), 1, C, "",
                null, SAME);
        c("insert past the line after the last is refused", T3, a("t.txt", "insert", "5", "NAME=dan"),
                1, C + "returning pos -1\n", "", null, SAME);

        // ---- messages that name the fix. CORE MESSAGE: these expect the core's wording of
        // a later change (columns listed, last insertable line, bytes) ----
        c("core message: add an unknown column is refused, the columns are named", T3,
                a("t.txt", "add", "FOO=1"), 1, C, "",
                "'FOO' names no column of the table (columns: NAME, SCORE, DATE)", SAME);
        StringBuilder hundred = new StringBuilder(H3);
        for (int i = 1; i <= 100; i++) {
            hundred.append("p").append(i).append("|").append(i).append("|d\n");
        }
        c("core message: insert past the end names the last line one can insert at",
                hundred.toString(), a("t.txt", "insert", "5000", "NAME=x"), 1,
                C + "returning pos -1\n", "",
                "line 5000 is past the end of the table (the last line you can insert at is 101)",
                SAME);
        c("core message: the 99 limit of a row line is in bytes", T3,
                a("t.txt", "add", "NAME=" + "\u00e9".repeat(50)), 1, C, "", "bytes", SAME);


        // ---- check: what hides or garbles rows, by line; exit 1 when anything is found ----
        c("check of a clean table", T3, a("t.txt", "check"), 0, "", "t.txt: clean\n", null, SAME);
        c("check of a CRLF table is clean", T3.replace("\n", "\r\n"), a("t.txt", "check"), 0, "",
                "t.txt: clean\n", null, SAME);
        String hiddenBy = " over the 99-byte line limit: every reader stops before it, so it and the ";
        String[][] bad = {
            {"an empty file", "", "t.txt has no header line: it is empty; its first line must name the columns, "
                + "e.g. NAME|SCORE|DATE"},
            {"a blank header", "\nann|1\n", "line 1 of t.txt is blank: the header line must name the columns, e.g. "
                + "NAME|SCORE|DATE"},
            {"a long line", H3 + "ann|1\n" + "x".repeat(100) + "\nbob|2\ncid|3\n", "line 3 of t.txt is 100 bytes long,"
                + hiddenBy + "2 lines after it are hidden from every reader, and appends are refused"},
            {"a long last line without LF", H3 + "y".repeat(101), "line 2 of t.txt is 101 bytes long," + hiddenBy
                + "0 lines after it are hidden from every reader, and appends are refused"},
            {"eleven fields", H3 + "a|b|c|d|e|f|g|h|i|j|k\n", "line 2 of t.txt has 11 fields; a row holds 10, so "
                + "readers drop the rest"},
            {"a NUL byte", H3 + "an\0n|1\n", "line 2 of t.txt holds a NUL byte at byte 3: readers see the line end there"},
            {"mixed line ends", H3 + "ann|1\r\nbob|2\n", "line ends are mixed in t.txt: 1 line ends in CRLF and 2 lines "
                + "in LF alone; line 2 is the first in CRLF"},
            {"an unfinished write", undone(T3, 16, "dan|5|d\n"), "t.txt ends in the undo record of an unfinished write "
                + "(bytes 64 on, after line 4): it is not table text; the next library call, or check --repair, rolls "
                + "the write back"},
        };
        for (String[] b : bad) {
            c("check finds " + b[0], b[1], a("t.txt", "check"), 1, "", b[2] + "\n", "t.txt: 1 problem found", SAME);
        }
        c("check lists every problem, the hiding line first", H3 + "a\0|1\n" + "w".repeat(120) + "\n" + "v".repeat(130)
                + "\n", a("t.txt", "check"), 1, "", lines("line 3 of t.txt is 120 bytes long," + hiddenBy
                        + "1 line after it are hidden from every reader, and appends are refused",
                        "line 2 of t.txt holds a NUL byte at byte 2: readers see the line end there",
                        "line 4 of t.txt is 130 bytes long, over the line limit too"), "3 problems found", SAME);
        // 99 bytes and a trailing separator are within the limits.
        c("check: a 99-byte line and 10 fields with a trailing | are clean",
                H3 + "z".repeat(99) + "\na|b|c|d|e|f|g|h|i|j|\n", a("t.txt", "check"), 0, "", "t.txt: clean\n", null, SAME);
        c("check --repair rolls back an unfinished write and nothing else", undone(T3, 16, "dan|5|d\n"),
                a("t.txt", "check", "--repair"), 0, "", "t.txt: rolled back an unfinished write\nt.txt: clean\n", null, T3);
        c("check --repair leaves other problems alone", H3 + "an\0n|1\n", a("t.txt", "check", "--repair"), 1, "",
                "t.txt: no unfinished write to roll back\nline 2 of t.txt holds a NUL byte at byte 3: readers see the "
                        + "line end there\n", "1 problem found", SAME);
        c("check with another option is a usage error", T3, a("t.txt", "check", "--fix"), 2, "", "",
                "check takes only --repair", SAME);
        c("check of a missing table", null, a("t.txt", "check"), 1, "", "", "no such table file: t.txt", null);

        // ---- backup: a copy as of one moment, never half written ----
        file("backup DEST", T3, a("t.txt", "backup", "b.txt"), 0, null, SAME, "b.txt", T3);
        file("backup of a table with an unfinished write holds the table rolled back", undone(T3, 16, "dan|5|d\n"),
                a("t.txt", "backup", "b.txt"), 0, null, T3, "b.txt", T3);
        file("backup --verbose says how long the lock was held", T3, a("t.txt", "backup", "b.txt", "--verbose"), 0,
                "gameserver-dbiface: 64 bytes in 1 copy; the table's lock held at most ", SAME, "b.txt", T3);
        file("backup replaces an older backup", T3, a("t.txt", "backup", "t.txt.old"), 0, null, SAME, "t.txt.old", T3);
        file("backup into a missing directory fails, nothing written", T3, a("t.txt", "backup", "no/b.txt"), 1,
                "no/b.txt", SAME, "no/b.txt", null);
        file("backup over the table itself is refused", T3, a("t.txt", "backup", "./t.txt"), 1,
                "would replace the table itself", SAME, null, null);
        c("backup without DEST is a usage error", T3, a("t.txt", "backup"), 2, "", "", "backup takes 1", SAME);

        // ---- edit: a checked copy applied in one step ----
        String edited = H3 + "ann|99|1/1/2020\ncid|30|3/3/2020\n";
        file("edit --with FILE applies it", T3, a("t.txt", "edit", "--with", "e.txt"), 0, null, edited, "e.txt", edited,
                "e.txt", edited);
        file("edit --with FILE that hides rows is refused, FILE kept", T3, a("t.txt", "edit", "--with", "e.txt"), 1,
                "line 2 of e.txt is 120 bytes long", SAME, "e.txt", H3 + "q".repeat(120) + "\n", "e.txt",
                H3 + "q".repeat(120) + "\n");
        file("edit --with FILE that removes the header is refused", T3, a("t.txt", "edit", "--with", "e.txt"), 1,
                "has no header line", SAME, "e.txt", "", "e.txt", "");
        file("edit --with a missing FILE", T3, a("t.txt", "edit", "--with", "e.txt"), 1, "cannot read e.txt", SAME,
                null, null);
        c("edit --with without FILE is a usage error", T3, a("t.txt", "edit", "--with"), 2, "", "",
                "edit takes only --with FILE", SAME);
        Map<String, String> noEditor = new HashMap<>();
        noEditor.put("VISUAL", null);
        noEditor.put("EDITOR", null);
        CASES.add(new Case("edit without VISUAL or EDITOR is refused", T3, a("t.txt", "edit"), 1, "", "",
                "set VISUAL or EDITOR", SAME, noEditor, null, null));
        CASES.add(new Case("edit runs EDITOR on a copy and applies it", T3, a("t.txt", "edit"), 0, "", "", null,
                T3.replace("bob|20", "bob|21"), Map.of("EDITOR", "sed -i s/bob|20/bob|21/"), null, null));
        CASES.add(new Case("edit: VISUAL comes before EDITOR", T3, a("t.txt", "edit"), 0, "", "", null,
                T3.replace("bob|20", "bob|22"), Map.of("VISUAL", "sed -i s/bob|20/bob|22/", "EDITOR", "false"), null,
                null));
        CASES.add(new Case("edit: an editor that fails leaves the table alone", T3, a("t.txt", "edit"), 1, "", "",
                "the editor exited with status 1", SAME, Map.of("EDITOR", "false"), null, null));
        CASES.add(new Case("edit: an unchanged copy writes nothing", T3, a("t.txt", "edit"), 0, "", "", null, SAME,
                Map.of("EDITOR", "true"), null, null));
    }

    /**
     * As c, with the file {@code outFile} expected to hold {@code outWant} afterwards (null:
     * not to exist), and {@code inFile} written with {@code inText} first.
     */
    static void file(String name, String table, String[] args, int exit, String err, String after,
            String outFile, String outWant, String... in) {
        Map<String, String> env = new HashMap<>();
        if (in.length == 2) {
            env.put(INPUT + in[0], in[1]);
        }
        CASES.add(new Case(name, table, args, exit, "", "", err, after, env, outFile, outWant));
    }

    /** Table text that starts with this holds bytes, one per char, rather than UTF-8 text. */
    static final String BIN = "\uE000";

    static byte[] bytesOf(String content) {
        return content.startsWith(BIN) ? content.substring(1).getBytes(StandardCharsets.ISO_8859_1)
                : content.getBytes(StandardCharsets.UTF_8);
    }

    /** An environment entry of this prefix is a file to write in the table's directory first. */
    static final String INPUT = "test-input-file:";

    /**
     * {@code table} as a process killed in the middle of inserting {@code line} at byte
     * {@code pos} leaves it: part of the new bytes over the old ones, then the copy of the old
     * bytes from pos on and the undo record that describes them.
     */
    static String undone(String table, int pos, String line) {
        byte[] old = table.getBytes(StandardCharsets.ISO_8859_1);
        int oldSize = old.length;
        int copyOff = oldSize + line.length();
        int tailLen = oldSize - pos;
        int end = (copyOff + tailLen + 63) / 64 * 64 + 64;
        java.nio.ByteBuffer f = java.nio.ByteBuffer.allocate(end).order(java.nio.ByteOrder.LITTLE_ENDIAN);
        f.put(old);
        f.put(pos, line.getBytes(StandardCharsets.ISO_8859_1), 0, line.length() / 2);  // half overwritten
        f.put(copyOff, old, pos, tailLen);
        int rec = end - 64;
        f.put(rec, "\0DBIundo".getBytes(StandardCharsets.ISO_8859_1));
        f.putInt(rec + 8, 1).putInt(rec + 12, 1);  // version, copy complete
        f.putLong(rec + 16, oldSize).putLong(rec + 24, pos).putLong(rec + 32, copyOff).putLong(rec + 40, tailLen);
        java.util.zip.CRC32 crc = new java.util.zip.CRC32();
        crc.update(f.array(), rec, 56);
        f.putInt(rec + 56, (int) crc.getValue());
        f.put(rec + 60, new byte[] {(byte) 0xff, 'E', 'N', 'D'});
        return BIN + new String(f.array(), StandardCharsets.ISO_8859_1);
    }

    static String run(String javaExe, String jar, Case k) throws Exception {
        Path dir = Files.createTempDirectory("dbiface-cli");
        try {
            Path table = dir.resolve("t.txt");
            if (k.table() == DIR) {
                Files.createDirectory(table);
            } else if (k.table() != null) {
                Files.write(table, bytesOf(k.table()));
            }
            Map<String, String> env = new HashMap<>();
            for (Map.Entry<String, String> e : k.env().entrySet()) {
                if (e.getKey().startsWith(INPUT)) {
                    Files.writeString(dir.resolve(e.getKey().substring(INPUT.length())), e.getValue());
                } else {
                    env.put(e.getKey(), e.getValue());
                }
            }
            List<String> cmd = ChildJvm.java(javaExe, "-Djava.io.tmpdir=" + dir, "-jar", jar);
            cmd.addAll(Arrays.asList(k.args()));
            if (!k.trace().isEmpty()) {
                cmd.add("--trace");  // cases that expect trace lines ask for them
            }
            env.put("HOME", dir.toString());
            ChildJvm.Result r = ChildJvm.run(cmd, dir, env);
            List<String> problems = new ArrayList<>();
            if (r.warnings() != null) {
                problems.add("WARNING printed");
            }
            if (r.exit() != k.exit()) {
                problems.add("exit " + r.exit() + ", expected " + k.exit());
            }
            if (k.results() == null) {
                String usage = "usage: java -jar " + Path.of(jar).getFileName() + " TABLE COMMAND";
                if (!r.out().startsWith(usage) || !r.out().contains("--output FILE")) {
                    problems.add("help does not start with " + ChildJvm.show(usage) + ": "
                            + ChildJvm.show(r.out()));
                }
            } else {
                String want = k.trace() + k.results();
                if (!r.out().equals(want)) {
                    problems.add("stdout " + ChildJvm.show(r.out()) + ", expected "
                            + ChildJvm.show(want));
                }
                if (!k.trace().contains("returning pos") && !filter(r.out()).equals(k.results())) {
                    problems.add("the filter of docs/cli.md leaves " + ChildJvm.show(filter(r.out())));
                }
            }
            if (k.exit() == 0 && k.err() == null ? !r.err().isEmpty() : k.err() != null && !r.err().contains(k.err())) {
                problems.add("stderr " + ChildJvm.show(r.err()) + ", expected it to hold "
                        + ChildJvm.show(String.valueOf(k.err())));
            }
            if (k.exit() != 0 && !r.err().startsWith("gameserver-dbiface: ")) {
                problems.add("stderr lacks the tool's prefix: " + ChildJvm.show(r.err()));
            }
            if (k.outFile() != null) {
                Path o = dir.resolve(k.outFile());
                String got = Files.exists(o) ? Files.readString(o, StandardCharsets.UTF_8) : null;
                if (k.outWant() == null ? got != null : !k.outWant().equals(got)) {
                    problems.add(k.outFile() + " holds " + (got == null ? "nothing" : ChildJvm.show(got))
                            + ", expected " + ChildJvm.show(k.outWant()));
                }
            }
            String want = k.after() == SAME ? k.table() : k.after();
            if (want == DIR) {
                if (!Files.isDirectory(table)) {
                    problems.add("the directory is gone");
                }
            } else {
                byte[] bytes = Files.exists(table) ? Files.readAllBytes(table) : null;
                String now = bytes == null ? null : new String(bytes, StandardCharsets.UTF_8);
                if (want == null ? now != null : !Arrays.equals(bytesOf(want), bytes)) {
                    problems.add("file " + (now == null ? "missing" : ChildJvm.show(now))
                            + ", expected " + (want == null ? "none" : ChildJvm.show(want)));
                }
            }
            return problems.isEmpty() ? null : String.join("; ", problems);
        } finally {
            ChildJvm.deleteTree(dir);
        }
    }

    static String filter(String out) {
        StringBuilder b = new StringBuilder();
        for (String line : out.split("\n", -1)) {
            if (!TRACE.matcher(line).matches()) {
                b.append(line).append('\n');
            }
        }
        // split leaves one empty piece after the final newline
        return b.length() > 0 ? b.substring(0, b.length() - 1) : "";
    }

    /** Runs the tool in {@code dir} on {@code args}. */
    static ChildJvm.Result tool(Path dir, Map<String, String> env, String... args) throws Exception {
        List<String> cmd = ChildJvm.java(ChildJvm.require("test.java"), "-Djava.io.tmpdir=" + dir, "-jar",
                Path.of(ChildJvm.require("test.jar")).toAbsolutePath().toString());
        cmd.addAll(Arrays.asList(args));
        Map<String, String> e = new HashMap<>(env);
        e.put("HOME", dir.toString());
        ChildJvm.Result r = ChildJvm.run(cmd, dir, e);
        assertEquals(null, r.warnings());
        return r;
    }

    /** A table of {@code rows} rows r1..rN. */
    static Path bigTable(Path dir, int rows) throws Exception {
        StringBuilder b = new StringBuilder(H3);
        for (int i = 1; i <= rows; i++) {
            b.append('r').append(i).append('|').append(i).append("|1/1/2020\n");
        }
        Path t = dir.resolve("t.txt");
        Files.writeString(t, b);
        return t;
    }

    /**
     * Writes to {@code table} through the library until stopped: op i appends w_i, or every
     * {@code insertEvery}-th op (0: never) inserts it at data row 1 + i % 50. Keeps the
     * table's row names as they stand after each op, so a copy can be matched to a moment.
     */
    static final class Writer extends Thread {
        final Path table;
        final int insertEvery;
        final List<String> rows;
        volatile boolean stop;
        volatile Throwable failure;
        int ops;

        Writer(Path table, int rows, int insertEvery) {
            this.table = table;
            this.insertEvery = insertEvery;
            this.rows = new ArrayList<>();
            for (int i = 1; i <= rows; i++) {
                this.rows.add("r" + i);
            }
        }

        @Override
        public void run() {
            try (gameserver.dbiface.Table t = gameserver.dbiface.Table.open(table)) {
                while (!stop) {
                    String name = "w" + ops;
                    if (insertEvery > 0 && ops % insertEvery == insertEvery - 1) {
                        int at = 1 + ops % 50;
                        t.insert(at, "NAME=" + name + ", SCORE=" + ops);
                        synchronized (this) {
                            rows.add(at - 1, name);
                        }
                    } else {
                        t.append("NAME=" + name + ", SCORE=" + ops);
                        synchronized (this) {
                            rows.add(name);
                        }
                    }
                    ops++;
                    Thread.sleep(0, 200_000);
                }
            } catch (Throwable e) {
                failure = e;
            }
        }

        List<String> finish() throws InterruptedException {
            stop = true;
            join();
            assertEquals(null, failure);
            return rows;
        }
    }

    /** The row names of table text, in order. */
    static List<String> names(String text) {
        List<String> out = new ArrayList<>();
        String[] lines = text.split("\n");
        for (int i = 1; i < lines.length; i++) {
            out.add(lines[i].substring(0, lines[i].indexOf('|')));
        }
        return out;
    }

    @Test
    void backupsRacingAWriterEachHoldOneMomentOfTheTable() throws Exception {
        Path t = bigTable(dir, 20_000);
        Writer w = new Writer(t, 20_000, 3);
        w.start();
        List<String> copies = new ArrayList<>();
        for (int i = 0; i < 4; i++) {
            ChildJvm.Result r = tool(dir, Map.of(), "t.txt", "backup", "b" + i + ".txt");
            assertEquals(0, r.exit(), r.toString());
            copies.add(Files.readString(dir.resolve("b" + i + ".txt")));
        }
        List<String> end = w.finish();
        assertTrue(w.ops > 20, "the writer made only " + w.ops + " writes");
        for (String copy : copies) {
            // The newest write in the copy names the moment; the copy must be the table then.
            List<String> got = names(copy);
            int last = -1;
            for (String n : got) {
                if (n.startsWith("w")) {
                    last = Math.max(last, Integer.parseInt(n.substring(1)));
                }
            }
            assertEquals(moment(end, last), got, "a backup is no moment of the table");
            assertTrue(copy.startsWith(H3) && copy.endsWith("\n") && copy.indexOf('\0') < 0);
        }
        assertEquals(end, names(Files.readString(t)));
    }

    /** The table's row names after write {@code last} (-1: before the first). */
    static List<String> moment(List<String> end, int last) {
        List<String> out = new ArrayList<>();
        for (String n : end) {
            if (!n.startsWith("w") || Integer.parseInt(n.substring(1)) <= last) {
                out.add(n);
            }
        }
        return out;
    }

    @Test
    void editRacingAppendsKeepsThemAndRacingInsertionsIsRefused() throws Exception {
        Path t = bigTable(dir, 2_000);
        // An editor that takes its time, so the server's writes land meanwhile.
        Path editor = dir.resolve("editor.sh");
        Files.writeString(editor, "#!/bin/sh\nsleep 1\nsed -i 's/^r7|7|/r7|777|/' \"$1\"\n");
        editor.toFile().setExecutable(true);
        Writer w = new Writer(t, 2_000, 0);
        w.start();
        ChildJvm.Result r = tool(dir, Map.of("EDITOR", editor.toString()), "t.txt", "edit");
        List<String> end = w.finish();
        assertEquals(0, r.exit(), r.toString());
        assertTrue(r.err().contains("appended meanwhile kept after the edited rows"), r.toString());
        String now = Files.readString(t);
        assertEquals(end, names(now), "rows lost, duplicated or moved by the edit");
        assertTrue(now.contains("\nr7|777|1/1/2020\n"), "the edit is not in the table");

        // Insertions move rows the edit was made from: refused, the copy kept.
        Files.writeString(editor, "#!/bin/sh\nsleep 1\nsed -i 's/^r8|8|/r8|888|/' \"$1\"\n");
        Writer ins = new Writer(t, 0, 1);
        ins.rows.addAll(end);
        ins.start();
        r = tool(dir, Map.of("EDITOR", editor.toString()), "t.txt", "edit");
        List<String> after = ins.finish();
        assertEquals(1, r.exit(), r.toString());
        assertTrue(r.err().contains("the edited copy is kept at "), r.toString());
        Path copy = Path.of(r.err().substring(r.err().indexOf("kept at ") + 8).trim());
        assertTrue(Files.readString(copy).contains("\nr8|888|"), "the kept copy lacks the edit");
        assertEquals(after, names(Files.readString(t)), "rows lost or duplicated by a refused edit");
    }

    @Test
    void listOfABusyTableNeverFailsAndStopsQuietlyWhenItsReaderGoes() throws Exception {
        Path t = bigTable(dir, 100_000);
        Writer w = new Writer(t, 100_000, 0);
        w.start();
        for (String[] args : new String[][] {{"t.txt", "list"}, {"t.txt", "list", "--table"}}) {
            ChildJvm.Result r = tool(dir, Map.of(), args);
            assertEquals(0, r.exit(), r.err());
            assertEquals("", r.err());
            String[] lines = r.out().split("\n");
            int header = args.length == 3 ? 1 : 0;
            assertTrue(lines.length - header >= 100_000, "only " + lines.length + " lines listed");
            assertTrue(lines[header].matches(args.length == 3 ? "1 +r1 +1 +1/1/2020" : "NAME=r1,SCORE=1,DATE=1/1/2020"),
                    lines[header]);
        }
        w.finish();
        // A reader that stops after one line: the listing ends without a word.
        List<String> cmd = ChildJvm.java(ChildJvm.require("test.java"), "-jar",
                Path.of(ChildJvm.require("test.jar")).toAbsolutePath().toString(), "t.txt", "list");
        Process p = new ProcessBuilder(cmd).directory(dir.toFile()).redirectError(ProcessBuilder.Redirect.PIPE).start();
        byte[] first = new byte[16];
        int got = p.getInputStream().readNBytes(first, 0, first.length);
        p.getInputStream().close();
        assertTrue(p.waitFor(120, java.util.concurrent.TimeUnit.SECONDS), "list went on after its reader left");
        assertEquals(16, got);
        assertEquals(0, p.exitValue());
        assertEquals("", new String(p.getErrorStream().readAllBytes(), StandardCharsets.UTF_8));
    }

    @Test
    void versionNamesTheJarAndTheNativeLibrary() throws Exception {
        for (String v : new String[] {"--version", "version"}) {
            ChildJvm.Result r = tool(dir, Map.of(), v);
            assertEquals(0, r.exit(), r.toString());
            assertTrue(Pattern.matches("gameserver-dbiface \\d+\\.\\d+\\.\\d+\nnative library \\d+\\.\\d+\\.\\d+ for "
                    + "(linux|windows)-[a-z0-9_]+, loaded from .+\n", r.out()), r.out());
            String jarVersion = r.out().split("\n")[0].substring("gameserver-dbiface ".length());
            assertTrue(r.out().contains("native library " + jarVersion + " for "), r.out());
        }
    }
    static Stream<Named<Case>> cases() {
        assertTrue(CASES.size() > 0);
        return CASES.stream().map(k -> Named.of(k.name(), k));
    }

    @ParameterizedTest(name = "{0}")
    @MethodSource("cases")
    void runs(Case k) throws Exception {
        String problem = run(ChildJvm.require("test.java"),
                Path.of(ChildJvm.require("test.jar")).toAbsolutePath().toString(), k);
        if (problem != null) {
            fail(problem);
        }
    }
}
