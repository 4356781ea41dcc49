package gameserver;

import java.io.PrintStream;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;

/**
 * Command-line tool for operators: {@code java -jar gameserver-dbiface.jar TABLE COMMAND ...}.
 * It goes through the five native methods only, so it sees a table exactly as the game server
 * does. The library's trace lines come first on standard output; the tool prints its own
 * results after every native call is done.
 */
public final class Cli {
    static final int OK = 0;
    static final int FAILED = 1;
    static final int USAGE = 2;

    static final String HELP = """
            usage: java -jar gameserver-dbiface.jar TABLE COMMAND [ARGS]

            Commands:
              count                number of data rows
              get N                data row N (1 = first line after the header) as row text
              list [--table]       every data row as row text, one per line;
                                   --table: aligned columns under a header instead
              add 'RECORD'         append a record, e.g. 'NAME=ann, SCORE=10, DATE=1/1/2020'
              insert LINE 'RECORD' insert a record so that it becomes data row LINE;
                                   LINE = rows + 1 appends
              --help               this text

            TABLE's first line names the columns (e.g. NAME|SCORE|DATE); records can be
            added only below such a header, so write it with an editor first.
            The library writes trace lines to standard output before the results.
            Exit status: 0 done, 1 refused or I/O error (message on standard error),
            2 usage error.
            """;

    private Cli() {}

    /** Thrown for a malformed command line. */
    static final class UsageException extends Exception {
        private static final long serialVersionUID = 1L;

        UsageException(String message) {
            super(message);
        }
    }

    public static void main(String[] args) {
        // Table text is UTF-8; print it as such whatever the locale, like the trace lines.
        PrintStream out = new PrintStream(System.out, false, StandardCharsets.UTF_8);
        PrintStream err = new PrintStream(System.err, true, StandardCharsets.UTF_8);
        int status = run(args, out, err);
        out.flush();
        err.flush();
        System.exit(status);
    }

    static int run(String[] args, PrintStream out, PrintStream err) {
        if (args.length == 1 && (args[0].equals("--help") || args[0].equals("-h"))) {
            out.print(HELP);
            return OK;
        }
        List<String> results;
        try {
            results = execute(args);
        } catch (UsageException e) {
            err.println("gameserver-dbiface: " + e.getMessage());
            err.println("try --help");
            return USAGE;
        } catch (RuntimeException | UnsatisfiedLinkError e) {
            String message = e.getMessage();
            err.println("gameserver-dbiface: " + (message != null ? message : e.toString()));
            return FAILED;
        }
        for (String line : results) {
            out.println(line);
        }
        return OK;
    }

    /** Runs the command and returns the lines to print. */
    static List<String> execute(String[] args) throws UsageException {
        if (args.length < 2) {
            throw new UsageException(args.length == 0 ? "missing TABLE and COMMAND"
                    : "missing COMMAND");
        }
        String table = args[0];
        String command = args[1];
        int extra = args.length - 2;
        List<String> results = new ArrayList<>();
        switch (command) {
            case "count" -> {
                expectArgs(command, extra, 0);
                DBIface.init(table);
                results.add(Integer.toString(DBIface.getNumRows()));
            }
            case "get" -> {
                expectArgs(command, extra, 1);
                int n = number(args[2], "N");
                DBIface.init(table);
                int rows = DBIface.getNumRows();
                if (n < 1 || n > rows) {
                    throw new IndexOutOfBoundsException("no data row " + n + "; the table has "
                            + rows + (rows == 1 ? " row" : " rows"));
                }
                results.add(DBIface.getRow(n));
            }
            case "list" -> {
                boolean aligned = false;
                if (extra == 1 && args[2].equals("--table")) {
                    aligned = true;
                } else if (extra != 0) {
                    throw new UsageException("list takes only --table");
                }
                DBIface.init(table);
                int rows = DBIface.getNumRows();
                List<String> texts = new ArrayList<>(rows);
                for (int i = 1; i <= rows; i++) {
                    texts.add(DBIface.getRow(i));
                }
                results.addAll(aligned ? align(texts) : texts);
            }
            case "add" -> {
                expectArgs(command, extra, 1);
                DBIface.init(table);
                DBIface.writeRow(args[2]);
            }
            case "insert" -> {
                expectArgs(command, extra, 2);
                int line = number(args[2], "LINE");
                DBIface.init(table);
                DBIface.writeRowToLine(args[3], line);
            }
            default -> throw new UsageException("unknown command '" + command + "'");
        }
        return results;
    }

    static void expectArgs(String command, int got, int want) throws UsageException {
        if (got != want) {
            throw new UsageException(command + " takes " + want
                    + (want == 1 ? " argument" : " arguments") + ", got " + got);
        }
    }

    static int number(String text, String what) throws UsageException {
        try {
            return Integer.parseInt(text);
        } catch (NumberFormatException e) {
            throw new UsageException(what + " must be a whole number, got '" + text + "'");
        }
    }

    /**
     * Lays rows out as a table: a header of column names, then one line per row, columns
     * padded to their widest cell. Row text is split at "," and at the first "=" of each
     * pair; a piece without "=" continues the previous value, so values that hold a comma
     * (possible in a file edited by hand) stay whole.
     */
    static List<String> align(List<String> texts) {
        Map<String, Integer> columns = new LinkedHashMap<>();
        List<Map<String, String>> rows = new ArrayList<>();
        for (String text : texts) {
            Map<String, String> row = new LinkedHashMap<>();
            String last = null;
            for (String piece : text.isEmpty() ? new String[0] : text.split(",", -1)) {
                int eq = piece.indexOf('=');
                if (eq < 0 && last != null) {
                    row.put(last, row.get(last) + "," + piece);
                    continue;
                }
                last = eq < 0 ? piece : piece.substring(0, eq);
                row.put(last, eq < 0 ? "" : piece.substring(eq + 1));
                columns.putIfAbsent(last, columns.size());
            }
            rows.add(row);
        }
        List<String> names = new ArrayList<>(columns.keySet());
        int[] width = new int[names.size() + 1];
        width[0] = Math.max(1, Integer.toString(rows.size()).length());
        for (int c = 0; c < names.size(); c++) {
            width[c + 1] = length(names.get(c));
            for (Map<String, String> row : rows) {
                width[c + 1] = Math.max(width[c + 1], length(row.getOrDefault(names.get(c), "")));
            }
        }
        List<String> lines = new ArrayList<>();
        List<String> cells = new ArrayList<>();
        cells.add("#");
        cells.addAll(names);
        lines.add(layout(cells, width));
        for (int r = 0; r < rows.size(); r++) {
            cells.clear();
            cells.add(Integer.toString(r + 1));
            for (String name : names) {
                cells.add(rows.get(r).getOrDefault(name, ""));
            }
            lines.add(layout(cells, width));
        }
        return lines;
    }

    private static String layout(List<String> cells, int[] width) {
        StringBuilder b = new StringBuilder();
        for (int c = 0; c < cells.size(); c++) {
            String cell = cells.get(c);
            b.append(cell);
            if (c + 1 < cells.size()) {
                b.append(" ".repeat(width[c] - length(cell) + 2));
            }
        }
        return b.toString().stripTrailing();
    }

    // Counts code points, so a character outside the BMP takes one column like any other.
    private static int length(String s) {
        return s.codePointCount(0, s.length());
    }
}
