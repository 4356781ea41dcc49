/**
 * Tables of records kept in plain text files, one {@link gameserver.dbiface.Table} handle
 * per file.
 *
 * <p>A table file's first line names the columns ({@code NAME|SCORE|DATE}); each further
 * line is one data row, values separated by {@code |}. A line holds at most 99 bytes of
 * UTF-8 and a row at most 10 values. Any number of tables can be open at once, from any
 * number of threads; calls on one file are serialised across threads and processes, and
 * a write is all or nothing even if the process dies during it.
 *
 * <pre>{@code
 * import gameserver.dbiface.Table;
 * import java.nio.file.Path;
 * import java.util.List;
 * import java.util.Map;
 *
 * try (Table scores = Table.create(Path.of("/srv/game/scores.txt"), List.of("NAME", "SCORE", "DATE"));
 *      Table players = Table.open(Path.of("/srv/game/players.txt"))) {
 *     scores.append("NAME=erin, SCORE=1320, DATE=12/8/2026");
 *     scores.append(Map.of("NAME", "Smith, J.", "SCORE", "900", "DATE", "12/9/2026"));
 *     scores.appendAll(List.of("NAME=ann, SCORE=10, DATE=1/1/2026",
 *                              "NAME=bob, SCORE=20, DATE=1/1/2026"));  // all or none
 *     scores.insert(1, "NAME=frank, SCORE=2000, DATE=12/8/2026");     // becomes row 1
 *     for (Map<String, String> row : scores.rows()) {
 *         System.out.println(row.get("NAME") + " " + row.get("SCORE"));
 *     }
 *     String first = players.rowText(1);  // "NAME=alice,SCORE=1200,DATE=9/13/2006"
 * }
 * }</pre>
 *
 * <p>Table calls print nothing. The older static class {@link gameserver.DBIface} stays
 * for the callers that already use it; it works on one table path per JVM and prints
 * trace lines.
 */
package gameserver.dbiface;
