#!/usr/bin/env bash
# maven-consumer.sh REPO [JAVA]
# A new user's project: a pom naming gameserver:gameserver-dbiface (and its sources and
# javadoc jars), built with Maven offline against the file repository REPO (tools/package.sh)
# and Debian's packaged Maven plugins, then run with JAVA on a real table from an empty
# directory.
set -euo pipefail
repo=$(readlink -f "$1")
java=${2:-java}
version=$(sed -n 's:.*<release>\(.*\)</release>.*:\1:p' "$repo/gameserver/gameserver-dbiface/maven-metadata.xml")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/app/src/main/java/app" "$work/run"

# Plugins come from Debian's repository; everything else from REPO. Offline, Maven reads
# file:// repositories only when told that protocol is local.
cat > "$work/settings.xml" <<XML
<settings>
  <localRepository>$work/m2</localRepository>
  <mirrors>
    <mirror><id>debian</id><mirrorOf>central</mirrorOf><url>file:///usr/share/maven-repo</url></mirror>
  </mirrors>
</settings>
XML
cat > "$work/app/pom.xml" <<XML
<project xmlns="http://maven.apache.org/POM/4.0.0">
  <modelVersion>4.0.0</modelVersion>
  <groupId>app</groupId>
  <artifactId>consumer</artifactId>
  <version>1</version>
  <properties>
    <project.build.sourceEncoding>UTF-8</project.build.sourceEncoding>
  </properties>
  <repositories>
    <repository><id>gameserver-files</id><url>file://$repo</url></repository>
  </repositories>
  <dependencies>
    <dependency>
      <groupId>gameserver</groupId>
      <artifactId>gameserver-dbiface</artifactId>
      <version>$version</version>
    </dependency>
    <!-- resolving these checks that the sources and javadoc jars were deployed -->
    <dependency>
      <groupId>gameserver</groupId><artifactId>gameserver-dbiface</artifactId>
      <version>$version</version><classifier>sources</classifier><scope>provided</scope>
    </dependency>
    <dependency>
      <groupId>gameserver</groupId><artifactId>gameserver-dbiface</artifactId>
      <version>$version</version><classifier>javadoc</classifier><scope>provided</scope>
    </dependency>
  </dependencies>
  <build>
    <plugins>
      <plugin><artifactId>maven-resources-plugin</artifactId><version>3.3.0</version></plugin>
      <plugin>
        <artifactId>maven-compiler-plugin</artifactId><version>3.10.1</version>
        <configuration><release>17</release></configuration>
      </plugin>
      <plugin><artifactId>maven-jar-plugin</artifactId><version>3.3.0</version></plugin>
      <!-- no tests here, and Debian's Maven repository lacks surefire -->
      <plugin>
        <artifactId>maven-surefire-plugin</artifactId><version>2.22.3</version>
        <executions><execution><id>default-test</id><phase>none</phase></execution></executions>
      </plugin>
    </plugins>
  </build>
</project>
XML
cat > "$work/app/src/main/java/app/Main.java" <<'JAVA'
package app;

import gameserver.DBIface;

public class Main {
    public static void main(String[] args) {
        DBIface.init(args[0]);
        DBIface.writeRow("NAME=ann, SCORE=10, DATE=1/1/2020");
        DBIface.writeRow("NAME=cid, SCORE=30, DATE=3/3/2020");
        DBIface.writeRowToLine("NAME=bob, SCORE=20, DATE=2/2/2020", 2);
        StringBuilder out = new StringBuilder("consumer:");
        for (int i = 1; i <= DBIface.getNumRows(); i++) {
            out.append(' ').append(DBIface.getRow(i));
        }
        System.out.println(out);
    }
}
JAVA

(cd "$work/app" && mvn -o -B -q -Dstyle.color=never -s "$work/settings.xml" -Daether.offline.protocols=file package)
dep=$work/m2/gameserver/gameserver-dbiface/$version/gameserver-dbiface-$version.jar
cmp "$dep" "$repo/gameserver/gameserver-dbiface/$version/gameserver-dbiface-$version.jar"
printf 'NAME|SCORE|DATE\n' > "$work/run/scores.txt"
out=$(cd "$work/run" && "$java" -Xcheck:jni --enable-native-access=ALL-UNNAMED \
  -cp "$work/app/target/consumer-1.jar:$dep" app.Main "$work/run/scores.txt" 2>&1)
want="consumer: NAME=ann,SCORE=10,DATE=1/1/2020 NAME=bob,SCORE=20,DATE=2/2/2020 NAME=cid,SCORE=30,DATE=3/3/2020"
table=$(cat "$work/run/scores.txt")
if ! grep -qxF "$want" <<< "$out" || grep -q WARNING <<< "$out" \
    || [ "$table" != $'NAME|SCORE|DATE\nann|10|1/1/2020\nbob|20|2/2/2020\ncid|30|3/3/2020' ]; then
  echo "FAIL the consumer built against $repo printed:"
  echo "$out"
  echo "and left the table:"
  echo "$table"
  echo "0 passed, 1 failed"
  exit 1
fi
echo "ok   Maven built the consumer offline against gameserver:gameserver-dbiface:$version; it ran"
echo "1 passed, 0 failed"
