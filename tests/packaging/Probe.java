// Run in source-file mode with only the jar on the class path:
//   java -cp gameserver-dbiface-VERSION.jar Probe.java TABLE
// Appends a row, reads it back, and prints which library file the JVM mapped.
import gameserver.DBIface;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.LinkedHashSet;
import java.util.Set;

public class Probe {
    public static void main(String[] args) throws Exception {
        DBIface.init(args[0]);
        DBIface.writeRow("NAME=probe, SCORE=1, DATE=12/8/2026");
        int n = DBIface.getNumRows();
        String last = DBIface.getRow(n);
        System.out.println("rows: " + n);
        System.out.println("last: " + last);
        Set<String> mapped = new LinkedHashSet<>();
        for (String line : Files.readAllLines(Path.of("/proc/self/maps"))) {
            int slash = line.indexOf('/');
            // Only executable mappings: a load that failed (noexec) may leave a data mapping.
            String[] f = line.split(" +", 3);
            if (slash >= 0 && f.length > 1 && f[1].contains("x") && line.contains("gameserver_DBIface")) {
                mapped.add(line.substring(slash));
            }
        }
        for (String m : mapped) {
            System.out.println("loaded: " + m);
        }
    }
}
