package gameserver.tests;

import static gameserver.tests.CasesTest.C;
import static gameserver.tests.CasesTest.DIR;
import static gameserver.tests.CasesTest.H3;
import static gameserver.tests.CasesTest.IAE;
import static gameserver.tests.CasesTest.IOOBE;
import static gameserver.tests.CasesTest.ISE;
import static gameserver.tests.CasesTest.SAME;
import static gameserver.tests.CasesTest.T3;
import static gameserver.tests.CasesTest.UIOE;
import static gameserver.tests.CasesTest.V;
import static gameserver.tests.CasesTest.add;
import static gameserver.tests.CasesTest.ex;
import static gameserver.tests.CasesTest.rep;
import static gameserver.tests.CasesTest.row;
import static gameserver.tests.CasesTest.rows;
import static gameserver.tests.CasesTest.s;

/** The cases of the Table handle, run by {@link CasesTest}: a Table prints nothing. */
final class TableCases {
    private TableCases() {}

    static final String NO_FILE = "java.io.UncheckedIOException <- java.nio.file.NoSuchFileException";

    static String list(String... items) {
        return String.join(TableCalls.SEP, items);
    }

    static String is(String text) {
        return "=> \"" + Child.esc(text) + "\"\n";
    }

    static String n(int rows) {
        return "=> " + rows + "\n";
    }

    static void register() {
        String t = "%D/t.txt";
        add("table: create, every kind of write, and reading back", null,
                H3 + "frank|2000\nerin|1320|12/8/2026\nSmith, J.|900\nann|10\nbob|20\n", null, null, false,
                s("t.create:" + list(t, "NAME", "SCORE", "DATE"), V), s("t.columns", is("[NAME, SCORE, DATE]")),
                s("t.count", n(0)), s("t.append:NAME=erin, SCORE=1320, DATE=12/8/2026", V),
                s("t.values:" + list("SCORE", "900", "NAME", "Smith, J."), V),
                s("t.all:" + list("NAME=ann, SCORE=10", "NAME=bob, SCORE=20"), V), s("t.all:", V),
                s("t.insert:1:NAME=frank, SCORE=2000", V), s("t.count", n(5)),
                s("t.text:1", is("NAME=frank,SCORE=2000")), s("t.row:3", is("{NAME=Smith, J., SCORE=900}")),
                s("t.rows", is("[{NAME=frank, SCORE=2000}, {NAME=erin, SCORE=1320, DATE=12/8/2026}, "
                        + "{NAME=Smith, J., SCORE=900}, {NAME=ann, SCORE=10}, {NAME=bob, SCORE=20}]")),
                s("t.close", V));
        add("table: create keeps a table with the same header, fills an empty file", "", H3, "u.txt", T3, false,
                s("t.create:" + list(t, "NAME", "SCORE", "DATE"), V), s("t.close", V),
                s("t.create:" + list("%D/u.txt", "NAME", "SCORE", "DATE"), V), s("t.count", n(3)));
        add("table: create refuses another header and names that cannot be columns", T3, SAME, null, null, false,
                s("t.create:" + list(t, "NAME", "SCORE"), ex(IAE)),
                s("t.create:" + list(t, "SCORE", "NAME", "DATE"), ex(IAE)));
        for (String[] names : new String[][] {{"A", "A"}, {"A|B"}, {"A=B"}, {"A,B"}, {" A"}, {""}, {rep('a', 100)},
                {"1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11"}}) {
            add("table: create refuses the columns " + Child.esc(String.join("/", names)) + " and creates no file",
                    null, null, null, null, false, s("t.create:" + t + TableCalls.SEP + list(names), ex(IAE)));
        }
        add("table: open of a missing file says so and creates nothing", null, null, null, null, false,
                s("t.open:" + t, ex(NO_FILE)), s("t.open:%D/no/such/dir/t.txt", ex(NO_FILE)));
        add("table: a file removed after open is missing, not empty", T3, null, null, null, false,
                s("t.open:" + t, V), s("rm:" + t, V), s("t.count", ex(NO_FILE)),
                s("t.append:NAME=x", ex(NO_FILE)));
        add("table: open of a directory", DIR, null, null, null, false, s("t.open:" + t, ex(UIOE)));
        add("table: rows outside the table", T3, T3 + "dan\n", null, null, false,
                s("t.open:" + t, V), s("t.text:0", ex(IOOBE)), s("t.text:4", ex(IOOBE)), s("t.row:-1", ex(IOOBE)),
                s("t.row:2147483647", ex(IOOBE)), s("t.insert:0:NAME=x", ex(IOOBE)),
                s("t.insert:5:NAME=x", ex(IOOBE)), s("t.insert:4:NAME=dan", V), s("t.text:4", is("NAME=dan")));
        add("table: refused records and values write nothing", T3, SAME, null, null, false,
                s("t.open:" + t, V), s("t.append:", ex(IAE)), s("t.append:NICK=x", ex(IAE)),
                s("t.append:NAME=a|b", ex(IAE)), s("t.insert:1:", ex(IAE)), s("t.values:", ex(IAE)),
                s("t.values:" + list("NAME", "a|b"), ex(IAE)), s("t.values:" + list("NAME", "a\rb"), ex(IAE)),
                s("t.values:" + list("NAME", "a\nb"), ex(IAE)), s("t.values:" + list("NAME", "a\0b"), ex(IAE)),
                s("t.values:" + list("NAME", " a"), ex(IAE)), s("t.values:" + list("NAME", "a\t"), ex(IAE)),
                s("t.values:" + list("NAME", rep('v', 100)), ex(IAE)),
                s("t.values:" + list("NAME", "a", "DATE", "b"), ex(IAE)),
                s("t.values:" + list("NICK", "a"), ex(IAE)),
                s("t.all:" + list("NAME=ok", "NAME=ok", "NICK=x"), ex(IAE)),
                s("t.all:" + list("NAME=ok", ""), ex(IAE)), s("t.count", n(3)));
        add("table: every call after close", T3, SAME, null, null, false,
                s("t.open:" + t, V), s("t.close", V), s("t.close", V), s("t.count", ex(ISE)),
                s("t.columns", ex(ISE)), s("t.text:1", ex(ISE)), s("t.rows", ex(ISE)),
                s("t.append:NAME=x", ex(ISE)), s("t.all:NAME=x", ex(ISE)), s("t.insert:1:NAME=x", ex(ISE)));
        add("table: a Table and DBIface on one file see each other's writes", T3,
                H3 + "zed\nann|10|1/1/2020\nbob|20|2/2/2020\ncid|30|3/3/2020\ndan|40\neve|50\n", null, null, false,
                s("init:" + t, V), s("t.open:" + t, V), s("write:NAME=dan, SCORE=40", C + V),
                s("t.count", n(4)), s("t.text:4", is("NAME=dan,SCORE=40")), s("t.append:NAME=eve, SCORE=50", V),
                s("rows", rows(5)), s("get:5", row("NAME=eve,SCORE=50")), s("t.insert:1:NAME=zed", V),
                s("get:1", row("NAME=zed")), s("t.close", V), s("rows", rows(6)));
        add("table: two threads, a Table each and one shared, keep to their own files", null, null, null, null,
                false, s("t.threads:%D",
                        "=> a 1100 rows, 0 wrong; b 1100 rows, 0 wrong; shared 2000 rows, 0 wrong\n"));
        add("table: 10,000 opened and closed Tables leave nothing behind", null, null, null, null, false,
                s("t.leak:%D", "=> 10000 tables: descriptors 0, watches 0\n"));
        add("table: sync=full batches and insertions", T3, T3 + "dan|40\neve|50\nabe\n", null, null, false,
                s("t.open:" + t, V), s("t.all:" + list("NAME=dan, SCORE=40", "NAME=eve, SCORE=50"), V),
                s("t.insert:6:NAME=abe", V), s("t.count", n(6)));
        CasesTest.CASES.get(CasesTest.CASES.size() - 1).jvmArgs().add("-Dgameserver.dbiface.sync=full");
    }
}
