package gameserver;

import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assertions.fail;

import gameserver.tests.ChildJvm;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Map;
import java.util.regex.Pattern;
import java.util.stream.Stream;
import org.junit.jupiter.api.Named;
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

    /** The filter the README gives for separating results from trace lines of read commands. */
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
            String results, String err, String after) {}

    static final List<Case> CASES = new ArrayList<>();

    static void c(String name, String table, String[] args, int exit, String trace,
            String results, String err, String after) {
        CASES.add(new Case(name, table, args, exit, trace, results, err, after));
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
        c("count of a missing table is 0, nothing created", null, a("t.txt", "count"), 0,
                count(0), "0\n", null, null);
        c("get", T3, a("t.txt", "get", "2"), 0, count(3) + C, ROWS[1] + "\n", null, SAME);
        c("get of an empty data row prints an empty line", H3 + "\nann|1|d\n",
                a("t.txt", "get", "1"), 0, count(2) + C, "\n", null, SAME);
        c("get 0 is refused", T3, a("t.txt", "get", "0"), 1, count(3), "",
                "no data row 0; the table has 3 rows", SAME);
        c("get past the end is refused", T3, a("t.txt", "get", "4"), 1, count(3), "",
                "no data row 4; the table has 3 rows", SAME);
        c("list", T3, a("t.txt", "list"), 0, count(3) + C + C + C, lines(ROWS), null, SAME);
        c("list of a header-only table prints no rows", H3, a("t.txt", "list"), 0, count(0), "",
                null, SAME);
        c("list --table aligns columns by characters, not bytes",
                H3 + "zo\u00eb|7|1/1/2020\nb\uD83D\uDE00b|1200|2/2/2020\nc|3|\n",
                a("t.txt", "list", "--table"), 0, count(3) + C + C + C,
                lines("#  NAME  SCORE  DATE",
                        "1  zo\u00eb   7      1/1/2020",
                        "2  b\uD83D\uDE00b   1200   2/2/2020",
                        "3  c     3"), null, SAME);
        c("list --table keeps a value holding a comma whole, fills short rows",
                "NAME|NOTE|X\nann|a,b|1\nbob\n", a("t.txt", "list", "--table"), 0,
                count(2) + C + C,
                lines("#  NAME  NOTE  X", "1  ann   a,b   1", "2  bob"), null, SAME);
        c("list --table of a header-only table prints the # column only", H3,
                a("t.txt", "list", "--table"), 0, count(0), "#\n", null, SAME);

        // ---- writing ----
        c("add appends in header order", T3, a("t.txt", "add", "DATE=4/4/2020, NAME=dan, SCORE=40"),
                0, C, "", null, T3 + "dan|40|4/4/2020\n");
        c("add non-ASCII text is stored as UTF-8", T3, a("t.txt", "add", "NAME=zo\u00eb, SCORE=5"),
                0, C, "", null, T3 + "zo\u00eb|5\n");
        c("add an unknown column is refused, nothing written", T3, a("t.txt", "add", "FOO=1"), 1,
                C, "", "'FOO' names no column of the table", SAME);
        c("add a value with | is refused", T3, a("t.txt", "add", "NAME=a|b"), 1, C, "",
                "contains '|'", SAME);
        c("add to a missing table is refused: no header", null, a("t.txt", "add", "NAME=a"), 1, C,
                "", "no header line", null);
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
            ChildJvm.Result r = ChildJvm.run(cmd, dir, Map.of("HOME", dir.toString()));
            List<String> problems = new ArrayList<>();
            if (r.warnings() != null) {
                problems.add("WARNING printed");
            }
            if (r.exit() != k.exit()) {
                problems.add("exit " + r.exit() + ", expected " + k.exit());
            }
            if (k.results() == null) {
                if (!r.out().startsWith(Cli.HELP.substring(0, 40))) {
                    problems.add("help text missing");
                }
            } else {
                String want = k.trace() + k.results();
                if (!r.out().equals(want)) {
                    problems.add("stdout " + ChildJvm.show(r.out()) + ", expected "
                            + ChildJvm.show(want));
                }
                if (!k.trace().contains("returning pos") && !filter(r.out()).equals(k.results())) {
                    problems.add("the README's filter leaves " + ChildJvm.show(filter(r.out())));
                }
            }
            if (k.exit() == 0 ? !r.err().isEmpty() : k.err() != null && !r.err().contains(k.err())) {
                problems.add("stderr " + ChildJvm.show(r.err()) + ", expected it to hold "
                        + ChildJvm.show(String.valueOf(k.err())));
            }
            if (k.exit() != 0 && !r.err().startsWith("gameserver-dbiface: ")) {
                problems.add("stderr lacks the tool's prefix: " + ChildJvm.show(r.err()));
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
