package gameserver.examples;

import gameserver.DBIface;

/** Reads a score table, adds two records and reads it again: {@code Demo TABLE}. */
public final class Demo {
    private Demo() {}

    public static void main(String[] args) {
        if (args.length != 1) {
            System.err.println("usage: java gameserver.examples.Demo TABLE");
            System.exit(2);
        }
        DBIface.init(args[0]);
        say("rows: " + DBIface.getNumRows());
        for (int i = 1; i <= DBIface.getNumRows(); i++) {
            say("row " + i + ": " + DBIface.getRow(i));
        }
        DBIface.writeRow("NAME=erin, SCORE=1320, DATE=12/8/2026");
        DBIface.writeRowToLine("SCORE=2000, NAME=frank, DATE=12/8/2026", 1);
        int n = DBIface.getNumRows();
        say("rows after adding erin (appended) and frank (inserted at line 1): " + n);
        for (int i = 1; i <= n; i++) {
            say("row " + i + ": " + DBIface.getRow(i));
        }
    }

    // Flushed at once so the demo's lines interleave correctly with the trace lines,
    // which the library writes straight to standard output.
    private static void say(String line) {
        System.out.println(line);
        System.out.flush();
    }
}
