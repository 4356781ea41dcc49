package gameserver.tests;

import gameserver.dbiface.Table;
import java.io.IOException;
import java.io.UncheckedIOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import java.util.stream.Stream;

/**
 * The Table calls of a {@link Child} script, on one current Table. Lists are separated by
 * {@link #SEP}.
 *
 * <p>Calls: {@code t.open:PATH}, {@code t.create:PATH SEP COLUMN...}, {@code t.columns},
 * {@code t.count}, {@code t.text:N}, {@code t.row:N}, {@code t.rows}, {@code t.append:TEXT},
 * {@code t.values:KEY SEP VALUE...}, {@code t.all:TEXT SEP TEXT...} ({@code t.all:} is the
 * empty list), {@code t.insert:N:TEXT}, {@code t.close}, {@code rm:PATH}, and the checks
 * {@code t.threads:DIR} and {@code t.leak:DIR}.
 */
final class TableCalls {
    static final String SEP = "\u001F";

    private static Table table;

    private TableCalls() {}

    static String run(String op, String arg) throws Exception {
        switch (op) {
            case "t.open":
                table = Table.open(Path.of(arg));
                return "=> (void)";
            case "t.create": {
                List<String> parts = split(arg);
                table = Table.create(Path.of(parts.get(0)), parts.subList(1, parts.size()));
                return "=> (void)";
            }
            case "t.columns":
                return "=> " + quote(table.columns().toString());
            case "t.count":
                return "=> " + table.rowCount();
            case "t.text":
                return "=> " + quote(table.rowText(Integer.parseInt(arg)));
            case "t.row":
                return "=> " + quote(table.row(Integer.parseInt(arg)).toString());
            case "t.rows":
                return "=> " + quote(table.rows().toString());
            case "t.append":
                table.append(arg);
                return "=> (void)";
            case "t.values": {
                List<String> kv = split(arg);
                Map<String, String> m = new LinkedHashMap<>();
                for (int i = 0; i + 1 < kv.size(); i += 2) m.put(kv.get(i), kv.get(i + 1));
                table.append(m);
                return "=> (void)";
            }
            case "t.all":
                table.appendAll(arg.isEmpty() ? List.of() : split(arg));
                return "=> (void)";
            case "t.insert": {
                int c = arg.indexOf(':');
                table.insert(Integer.parseInt(arg.substring(0, c)), arg.substring(c + 1));
                return "=> (void)";
            }
            case "t.close":
                table.close();
                return "=> (void)";
            case "rm":
                Files.delete(Path.of(arg));
                return "=> (void)";
            case "t.threads":
                return "=> " + threads(Path.of(arg));
            case "t.leak":
                return "=> " + leak(Path.of(arg));
            default:
                return null;
        }
    }

    private static List<String> split(String s) {
        return Arrays.asList(s.split(SEP, -1));
    }

    private static String quote(String s) {
        return "\"" + Child.esc(s) + "\"";
    }

    /**
     * Two threads, each with a Table of its own, write their own file while both also write
     * one shared Table: every file must hold exactly its writers' rows, each thread's in
     * its order.
     */
    private static String threads(Path dir) throws Exception {
        List<String> cols = List.of("NAME", "SCORE");
        try (Table shared = Table.create(dir.resolve("shared.txt"), cols)) {
            List<Thread> threads = new ArrayList<>();
            List<Throwable> failures = new ArrayList<>();
            for (String name : List.of("a", "b")) {
                Thread t = new Thread(() -> {
                    try (Table own = Table.create(dir.resolve(name + ".txt"), cols)) {
                        for (int i = 0; i < 1000; i++) {
                            own.append("NAME=" + name + ", SCORE=" + i);
                            shared.append(Map.of("NAME", name, "SCORE", Integer.toString(i)));
                            if (i % 100 == 99) {
                                List<String> batch = new ArrayList<>();
                                for (int j = 0; j < 10; j++) batch.add("NAME=" + name + "+, SCORE=" + i + "." + j);
                                own.appendAll(batch);
                            }
                        }
                    } catch (Throwable e) {
                        synchronized (failures) {
                            failures.add(e);
                        }
                    }
                });
                threads.add(t);
                t.start();
            }
            for (Thread t : threads) t.join();
            if (!failures.isEmpty()) return "failed: " + failures.get(0);
        }
        List<String> out = new ArrayList<>();
        for (String name : List.of("a", "b", "shared")) {
            List<String> lines = Files.readAllLines(dir.resolve(name + ".txt"));
            Map<String, Integer> next = new LinkedHashMap<>();  // writer -> next expected score
            int wrong = 0;
            for (String line : lines.subList(1, lines.size())) {
                String[] f = line.split("\\|");
                String who = f[0].replace("+", "");
                if (!name.equals("shared") && !who.equals(name)) wrong++;
                if (f[0].endsWith("+")) continue;  // batch rows: checked by their count
                int want = next.getOrDefault(who, 0);
                if (Integer.parseInt(f[1]) != want) wrong++;
                next.put(who, want + 1);
            }
            out.add(name + " " + (lines.size() - 1) + " rows, " + wrong + " wrong");
        }
        return String.join("; ", out);
    }

    /** Opens, uses and closes 10,000 Tables; says what they left behind. */
    private static String leak(Path dir) throws IOException {
        cycle(dir.resolve("warm.txt"));  // what the first use opens for good (the library, its jar)
        long fds = descriptors();
        for (int i = 0; i < 10_000; i++) cycle(dir.resolve("t" + i + ".txt"));
        return "10000 tables: descriptors " + (descriptors() - fds) + ", watches " + watches();
    }

    private static void cycle(Path file) {
        try (Table t = Table.create(file, List.of("NAME", "SCORE"))) {
            t.append("NAME=x, SCORE=1");
            t.append("NAME=y, SCORE=2");
            if (t.rowCount() != 2 || !t.rowText(2).equals("NAME=y,SCORE=2")) throw new AssertionError(file);
        }
    }

    private static long descriptors() throws IOException {
        try (Stream<Path> s = Files.list(Path.of("/proc/self/fd"))) {
            return s.count() - 1;  // the listing's own
        }
    }

    // inotify watches held by this process, from the fdinfo of every descriptor.
    private static long watches() throws IOException {
        long n = 0;
        try (Stream<Path> s = Files.list(Path.of("/proc/self/fdinfo"))) {
            for (Path p : (Iterable<Path>) s::iterator) {
                try {
                    n += Files.readAllLines(p).stream().filter(l -> l.startsWith("inotify wd:")).count();
                } catch (IOException | UncheckedIOException e) {
                    // closed meanwhile (the listing's own descriptor)
                }
            }
        }
        return n;
    }
}
