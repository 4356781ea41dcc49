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
        // A listing counts the rows again at its end, to see that none moved under it.
        c("list", T3, a("t.txt", "list"), 0, count(3) + C + C + C + count(3), lines(ROWS), null,
                SAME);
        c("list of a header-only table prints no rows", H3, a("t.txt", "list"), 0,
                count(0) + count(0), "", null, SAME);
        c("list --table aligns columns by display width: an emoji takes two",
                H3 + "zo\u00eb|7|1/1/2020\nb\uD83D\uDE00b|1200|2/2/2020\nc|3|\n",
                a("t.txt", "list", "--table"), 0, count(3) + C + C + C + count(3),
                lines("#  NAME  SCORE  DATE",
                        "1  zo\u00eb   7      1/1/2020",
                        "2  b\uD83D\uDE00b  1200   2/2/2020",
                        "3  c     3"), null, SAME);
        c("list --table: East Asian wide characters take two columns, combining marks none",
                "NAME|SCORE\n\u5c71\u7530\u592a\u90ce|1\nbob|22\ne\u0301x|3\n",
                a("t.txt", "list", "--table"), 0, count(3) + C + C + C + count(3),
                lines("#  NAME      SCORE",
                        "1  \u5c71\u7530\u592a\u90ce  1",
                        "2  bob       22",
                        "3  e\u0301x        3"), null, SAME);
        c("list --table keeps a value holding a comma whole, fills short rows",
                "NAME|NOTE|X\nann|a,b|1\nbob\n", a("t.txt", "list", "--table"), 0,
                count(2) + C + C + count(2),
                lines("#  NAME  NOTE  X", "1  ann   a,b   1", "2  bob"), null, SAME);
        c("list --table of a header-only table prints the # column only", H3,
                a("t.txt", "list", "--table"), 0, count(0) + count(0), "#\n", null, SAME);

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
                a("t.txt", "list", "--table", "--output=l.txt"), count(4) + C + C + C + C + count(4),
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
    }

    static String run(String javaExe, String jar, Case k) throws Exception {
        Path dir = Files.createTempDirectory("dbiface-cli");
        try {
            Path table = dir.resolve("t.txt");
            if (k.table() == DIR) {
                Files.createDirectory(table);
            } else if (k.table() != null) {
                Files.writeString(table, k.table(), StandardCharsets.UTF_8);
            }
            List<String> cmd = ChildJvm.java(javaExe, "-Djava.io.tmpdir=" + dir, "-jar", jar);
            cmd.addAll(Arrays.asList(k.args()));
            if (!k.trace().isEmpty()) {
                cmd.add("--trace");  // cases that expect trace lines ask for them
            }
            Map<String, String> env = new HashMap<>(k.env());
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
                if (!k.outWant().equals(got)) {
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
                String now = Files.exists(table) ? Files.readString(table, StandardCharsets.UTF_8) : null;
                if (want == null ? now != null : !want.equals(now)) {
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

    /**
     * A table that takes an "insert 1" after every {@code every}-th row read, for the first
     * {@code inserts} insertions: each one shifts the rows still to be read down by one.
     */
    static final class Shifting implements Cli.Rows {
        final List<String> rows = new ArrayList<>(List.of(ROWS));
        int reads;
        int inserts;
        final int every;

        Shifting(int every, int inserts) {
            this.every = every;
            this.inserts = inserts;
        }

        @Override
        public int count() {
            return rows.size();
        }

        @Override
        public String row(int index) {
            String r = index <= rows.size() ? rows.get(index - 1) : "";
            if (++reads % every == 0 && inserts > 0) {
                inserts--;
                rows.add(0, "NAME=new" + reads);
            }
            return r;
        }
    }

    @Test
    void listingThatOverlapsInsertionsIsReadAgain() {
        Shifting t = new Shifting(2, 2);
        // Without the retry the first pass would show ann twice and drop cid.
        assertEquals(List.of("NAME=new4", "NAME=new2", ROWS[0], ROWS[1], ROWS[2]),
                Cli.snapshot(t, Cli.LIST_TRIES));
    }

    @Test
    void listingThatKeepsOverlappingFails() {
        Shifting t = new Shifting(1, Integer.MAX_VALUE);
        IllegalStateException e = assertThrows(IllegalStateException.class,
                () -> Cli.snapshot(t, Cli.LIST_TRIES));
        assertTrue(e.getMessage().contains("kept changing"), e.getMessage());
        assertTrue(t.reads > Cli.LIST_TRIES, "read only " + t.reads + " rows");
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
